// Drives the main run loop from Qt's event loop.
#pragma once

#include <QObject>
#include <QTimer>

#include <memory>

#include "platform/RunLoop.h"

/// While it exists, Qt's event loop serves a RunLoop on the Qt main thread: the calls posted to
/// it (the listeners' deliveries) and its timers (the senders' flush timers) run there, one at a
/// time and in order, between Qt's own events; so also inside a modal dialog's loop, a menu or
/// a held control, since Qt keeps dispatching posted events and timers in nested loops.
///
/// A batch of posts wakes Qt once: the loop calls the wake-up handler only for the first post
/// after the queue was served, and the handler posts one event. Timers need one single-shot
/// QTimer, always armed for the loop's next deadline, so nothing polls.
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
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    /// What the posting threads share with the adapter; outlives it while a wake-up that
    /// began before the adapter ended may still be running.
    struct WakeUpTarget;

    static RunLoop::Mode currentMode();
    void fireTimers();
    void armTimer();

    RunLoop& loop_;
    std::shared_ptr<WakeUpTarget> wakeUpTarget_;
    QTimer timer_;
};
