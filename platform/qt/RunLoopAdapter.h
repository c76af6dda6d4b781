// Drives the main run loop from Qt's event loop.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <optional>

#include "platform/RunLoop.h"
#include "platform/WakeUpDescriptor.h"

/// While it exists, Qt's event loop serves a RunLoop on the Qt main thread: the calls posted to
/// it (the listeners' deliveries) and its timers (the senders' flush timers) run there, one at a
/// time and in order, between Qt's own events; so also inside a modal dialog's loop, a menu or
/// a held control, since Qt keeps serving its socket notifiers and timers in nested loops.
///
/// A batch of posts wakes Qt once: the loop calls the wake-up handler only for the first post
/// after the queue was served, and the handler writes to an eventfd that a QSocketNotifier
/// watches. The posting thread touches no Qt object, and nothing but the loop's own queue
/// passes between the threads. Timers need one single-shot QTimer, always armed for the loop's
/// next deadline, so nothing polls.
///
/// Modes: while the user holds a mouse button or a popup (a menu) is open, the loop's
/// event-tracking timers are served, otherwise its default ones; the timers that must run in
/// both, such as the senders', are registered in both.
///
/// Make it on the Qt main thread after the QApplication, and end it before; one per loop.
class RunLoopAdapter : public QObject {
    Q_OBJECT

public:
    explicit RunLoopAdapter(RunLoop& loop, QObject* parent = nullptr);
    RunLoopAdapter(const RunLoopAdapter&) = delete;
    RunLoopAdapter& operator=(const RunLoopAdapter&) = delete;
    /// Gives the loop back; later posts only queue until another driver serves the loop.
    ~RunLoopAdapter() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static RunLoop::Mode currentMode();
    void serve();
    void fireTimers();
    void armTimer();

    RunLoop& loop_;
    // Shared with the handler the loop holds, so that it stays open while a wake-up that began
    // before the adapter ended is still writing to it.
    const std::shared_ptr<const WakeUpDescriptor> wakeUp_;
    QSocketNotifier* wakeUpNotifier_;
    QTimer timer_;
    // The loop deadline timer_ is running for, if it runs.
    std::optional<RunLoop::Clock::time_point> armedDeadline_;
};
