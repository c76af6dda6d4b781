#include "platform/qt/DesktopApplication.h"

#include <QApplication>

#include <cstdio>
#include <string>

#include "classes/TandrelApplication.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "platform/qt/QuitSignals.h"
#include "platform/qt/RunLoopAdapter.h"
#include "platform/qt/SettingsWindow.h"

namespace {

bool hasNoDisplay() {
    return qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

} // namespace

int DesktopApplication::applicationMain(int argc, char** argv) {
    // First, before Qt starts threads of its own, so that every thread inherits the block.
    QuitSignals::blockTerminationSignals();
    // Decided before Qt starts: Qt aborts when the platform it picks has no display.
    const bool headless = hasNoDisplay();
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tandrel"));
    QApplication::setDesktopFileName(QStringLiteral("tandrel"));
    // An offscreen window is seen by nobody: a blinking text cursor would only repaint it
    // twice a second, for as long as the relay runs.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QApplication::setCursorFlashTime(0);
    // A signal that came before, during start-up, ends the run as soon as the loop starts.
    QuitSignals quitSignals;
    RunLoopAdapter runLoop(RunLoop::main());

    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    SettingsWindow window(defaults);
    window.application().start();
    window.show();
    // Said on standard error, for whoever started the relay from a terminal or a service
    // manager.
    std::string report = "tandrel: settings in " + defaults.path().string() + "\n" +
                         window.application().endpointReport() +
                         "tandrel: relaying until the window is closed or interrupted\n";
    if (headless)
        report.insert(0, "tandrel: no display (DISPLAY and WAYLAND_DISPLAY are not set): "
                         "running without a window, on Qt's offscreen platform\n");
    std::fputs(report.c_str(), stderr);
    const int status = QApplication::exec();
    window.application().finish();
    return status;
}
