// Turns SIGINT and SIGTERM into a clean quit of the Qt event loop.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <thread>

#include "platform/WakeUpDescriptor.h"

/// While it exists, SIGINT and SIGTERM make the application's event loop return, so that the
/// normal teardown runs (listeners stopped, ports freed) and the process exits with status 0.
///
/// The signals are blocked, and one thread of its own takes them with sigwait and wakes the
/// main thread through an eventfd, which quits the loop. So no handler ever runs inside another
/// thread's system call (a receive thread blocked on its socket cannot hold a signal back), the
/// waiting thread touches no Qt object, and a signal that comes before the event loop runs
/// makes it return as soon as it starts.
///
/// blockTerminationSignals() must run first in the process, before Qt or any other thread starts,
/// so that every thread inherits the block; the signals stay blocked after the object is gone, so
/// a second Ctrl+C cannot kill the process half-way through teardown. Make the object on the
/// main thread once the QApplication exists.
class QuitSignals : public QObject {
    Q_OBJECT

public:
    /// Blocks SIGINT and SIGTERM in the calling thread and in the threads it starts later.
    static void blockTerminationSignals();

    explicit QuitSignals(QObject* parent = nullptr);
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;
    /// Ends the waiting thread.
    ~QuitSignals() override;

private:
    static sigset_t terminationSignals();
    void waitForSignals();

    const WakeUpDescriptor quit_;
    QSocketNotifier* quitNotifier_;
    std::atomic<bool> ending_{false};
    std::thread thread_;
};
