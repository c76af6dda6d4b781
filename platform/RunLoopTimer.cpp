#include "platform/RunLoopTimer.h"

#include <utility>

#include "platform/RunLoop.h"

namespace {

/// The first instant at least one interval from now that is a whole number of intervals from
/// the clock's epoch. Timers of the same interval thus share every fire date, and one wake-up
/// serves them all, however far apart they were made.
RunLoopTimer::Clock::time_point firstFireDate(RunLoopTimer::Clock::duration interval) {
    const auto earliest = RunLoopTimer::Clock::now() + interval;
    const auto pastGrid = earliest.time_since_epoch() % interval;
    return pastGrid == RunLoopTimer::Clock::duration::zero() ? earliest
                                                             : earliest + (interval - pastGrid);
}

} // namespace

RunLoopTimer::RunLoopTimer(RunLoop& loop, Clock::duration interval, Action action)
    : loop_(&loop), interval_(interval), tolerance_(interval / 10),
      fireDate_(firstFireDate(interval)), action_(std::move(action)) {}

void RunLoopTimer::invalidate() {
    if (loop_ == nullptr)
        return;
    // The loop may hold the last reference; keep this timer alive until the call returns.
    const auto self = shared_from_this();
    std::exchange(loop_, nullptr)->removeTimer(this);
    if (!firing_) {
        // Moved out first: destroying the captures may call invalidate() again.
        const Action released = std::exchange(action_, nullptr);
    }
}

void RunLoopTimer::orphan() {
    loop_ = nullptr;
    if (!firing_)
        const Action released = std::exchange(action_, nullptr);
}

void RunLoopTimer::fire(Clock::time_point now) {
    const auto self = shared_from_this();
    // Missed firings are skipped, and the timer keeps its phase.
    fireDate_ += interval_;
    if (fireDate_ <= now)
        fireDate_ += ((now - fireDate_) / interval_ + 1) * interval_;

    struct EndOfFiring {
        RunLoopTimer& timer;
        ~EndOfFiring() {
            timer.firing_ = false;
            if (!timer.isValid())
                const Action released = std::exchange(timer.action_, nullptr);
        }
    } endOfFiring{*this};
    firing_ = true;
    action_(*this);
}
