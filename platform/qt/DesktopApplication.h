// The application run of the desktop relay.
#pragma once

/// Runs the relay with its settings window on Qt 6 Widgets.
class DesktopApplication {
public:
    /// The application run: loads the settings window (which makes the relay controller and
    /// binds the fields), starts the relay, shows the window and runs Qt's event loop, which
    /// also serves the main run loop. Closing the window, SIGINT or SIGTERM ends the run:
    /// the relay is torn down (its ports freed) and the result, the exit status, is 0.
    ///
    /// Once started it says on standard error where it listens and sends. Without a display
    /// (neither DISPLAY nor WAYLAND_DISPLAY set, and no QT_QPA_PLATFORM chosen) it runs on
    /// Qt's offscreen platform, relaying all the same, and says so there once. The arguments
    /// go to Qt.
    static int applicationMain(int argc, char** argv);
};
