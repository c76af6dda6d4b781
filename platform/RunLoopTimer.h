// A repeating timer that fires on a run loop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

class RunLoop;

/// A repeating timer, made by RunLoop::scheduledTimerWithTimeInterval. It fires on the thread
/// that drives its loop, once per interval, in each mode it has been added to, until
/// invalidate() ends it for good. Its fire dates are whole multiples of its interval on the
/// steady clock, shared by every timer of that interval.
///
/// While valid, the timer is held by its loop, so a caller may keep a reference or not. Its
/// action (and whatever the action captured) is released by invalidate(): at once, or right
/// after the firing returns when invalidate() is called from inside the action.
///
/// Every operation runs on the loop's thread. invalidate() may be called at any moment there:
/// from the timer's own action, again while the action's captures are being destroyed by an
/// earlier invalidate(), or after the loop itself has gone.
class RunLoopTimer : public std::enable_shared_from_this<RunLoopTimer> {
public:
    using Action = std::function<void(RunLoopTimer&)>;
    using Clock = std::chrono::steady_clock;

    RunLoopTimer(const RunLoopTimer&) = delete;
    RunLoopTimer& operator=(const RunLoopTimer&) = delete;
    ~RunLoopTimer() = default;

    bool isValid() const noexcept { return loop_ != nullptr; }
    Clock::duration timeInterval() const noexcept { return interval_; }
    /// The instant at which the timer is next due.
    Clock::time_point fireDate() const noexcept { return fireDate_; }

    /// Stops the timer for good and releases its action. Does nothing when already invalid.
    void invalidate();

private:
    friend class RunLoop;

    RunLoopTimer(RunLoop& loop, Clock::duration interval, Action action);

    /// The latest instant at which the loop should wake for this timer: its fire date plus the
    /// tolerance that lets timers due close together share one wake-up.
    Clock::time_point latestFireDate() const noexcept { return fireDate_ + tolerance_; }
    /// Runs the action once and moves the fire date past `now`, skipping missed firings.
    void fire(Clock::time_point now);
    /// Detaches the timer from a loop that is going away.
    void orphan();

    RunLoop* loop_;
    Clock::duration interval_;
    Clock::duration tolerance_;
    Clock::time_point fireDate_;
    unsigned modes_ = 0;
    bool firing_ = false;
    Action action_;
};
