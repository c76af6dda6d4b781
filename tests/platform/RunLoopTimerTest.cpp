#include "platform/RunLoopTimer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <vector>

#include "platform/RunLoop.h"
#include "support/LoopDriver.h"

namespace {

using Clock = RunLoopTimer::Clock;

/// Waits for the clock to pass `instant`; used to make timers due without driving the loop.
void spinUntilPast(Clock::time_point instant) {
    while (Clock::now() <= instant) {
    }
}

TEST(RunLoopTimer, RepeatsUntilInvalidatedFromItsOwnFiringThenReleasesItsAction) {
    RunLoop loop;
    auto capture = std::make_shared<int>(0);
    const std::weak_ptr<int> watched = capture;
    std::shared_ptr<RunLoopTimer> timer;
    timer = loop.scheduledTimerWithTimeInterval(
        0.001, [&, capture = std::move(capture)](RunLoopTimer& self) {
            EXPECT_EQ(&self, timer.get());
            if (++*capture == 3) {
                self.invalidate();
                EXPECT_FALSE(watched.expired()) << "released while still running";
                loop.stop();
            }
        });
    ASSERT_TRUE(runUntilStopped(loop));
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(watched.expired());
    EXPECT_FALSE(loop.nextTimerDeadline(RunLoop::Mode::Default).has_value());
}

TEST(RunLoopTimer, FiresOnlyInTheModesItWasAddedTo) {
    RunLoop loop;
    int defaultOnly = 0;
    int both = 0;
    // Made first, so it is always due no later than the other one.
    const auto defaultTimer =
        loop.scheduledTimerWithTimeInterval(0.001, [&](RunLoopTimer&) { ++defaultOnly; });
    EXPECT_FALSE(loop.nextTimerDeadline(RunLoop::Mode::EventTracking).has_value());
    const auto trackingTimer = loop.scheduledTimerWithTimeInterval(0.001, [&](RunLoopTimer&) {
        if (++both == 3)
            loop.stop();
    });
    loop.addTimer(trackingTimer, RunLoop::Mode::EventTracking);
    EXPECT_TRUE(loop.nextTimerDeadline(RunLoop::Mode::EventTracking).has_value());

    ASSERT_TRUE(runUntilStopped(loop, RunLoop::Mode::EventTracking));
    EXPECT_EQ(defaultOnly, 0);
    EXPECT_EQ(both, 3);

    spinUntilPast(defaultTimer->fireDate());
    loop.fireDueTimers(RunLoop::Mode::Default);
    EXPECT_EQ(defaultOnly, 1);
    defaultTimer->invalidate();
    trackingTimer->invalidate();
}

TEST(RunLoopTimer, SkipsMissedFiringsAndKeepsItsPhase) {
    RunLoop loop;
    int fired = 0;
    const auto timer = loop.scheduledTimerWithTimeInterval(0.001, [&](RunLoopTimer&) { ++fired; });
    const auto firstDate = timer->fireDate();
    spinUntilPast(firstDate + 5 * timer->timeInterval());
    const auto before = Clock::now();
    loop.fireDueTimers(RunLoop::Mode::Default);
    EXPECT_EQ(fired, 1) << "one firing, not one per missed interval";
    EXPECT_GT(timer->fireDate(), before) << "the missed fire dates are skipped";
    EXPECT_EQ((timer->fireDate() - firstDate) % timer->timeInterval(), Clock::duration::zero());
    timer->invalidate();
}

TEST(RunLoopTimer, TimersDueTogetherFireInOneTurnInFireDateOrder) {
    RunLoop loop;
    std::vector<int> order;
    const auto later = loop.scheduledTimerWithTimeInterval(0.004, [&](RunLoopTimer& self) {
        order.push_back(2);
        self.invalidate();
    });
    const auto sooner = loop.scheduledTimerWithTimeInterval(0.002, [&](RunLoopTimer& self) {
        order.push_back(1);
        self.invalidate();
    });
    // Fire dates lie on a grid of each interval, so which one comes first depends on where
    // the two grids stand; the order must follow the fire dates whatever they are.
    const bool soonerFirst = sooner->fireDate() < later->fireDate();
    spinUntilPast(std::max(sooner->fireDate(), later->fireDate()));
    loop.fireDueTimers(RunLoop::Mode::Default);
    EXPECT_EQ(order, soonerFirst ? (std::vector<int>{1, 2}) : (std::vector<int>{2, 1}));
}

TEST(RunLoopTimer, TimersOfOneIntervalShareTheirFireDatesHoweverFarApartMade) {
    RunLoop loop;
    const auto first = loop.scheduledTimerWithTimeInterval(0.01, [](RunLoopTimer&) {});
    spinUntilPast(Clock::now() + std::chrono::microseconds(3300));
    const auto second = loop.scheduledTimerWithTimeInterval(0.01, [](RunLoopTimer&) {});
    // One wake-up serves both: their fire dates differ by whole intervals, never by a phase.
    EXPECT_EQ((second->fireDate() - first->fireDate()) % first->timeInterval(),
              Clock::duration::zero());
    first->invalidate();
    second->invalidate();
}

/// An owner whose destruction invalidates its timer, as a sender's does.
struct TimerOwner {
    std::shared_ptr<RunLoopTimer> timer;
    ~TimerOwner() {
        if (timer)
            timer->invalidate();
    }
};

TEST(RunLoopTimer, InvalidateIsSafeWhileWhatTheActionOwnsIsBeingDestroyed) {
    RunLoop loop;
    // The action owns the owner, which owns the timer: invalidating releases the action, whose
    // destruction ends the owner, whose destructor invalidates the timer again.
    auto owner = std::make_shared<TimerOwner>();
    const std::weak_ptr<TimerOwner> watched = owner;
    owner->timer = loop.scheduledTimerWithTimeInterval(10, [owner](RunLoopTimer&) {});
    const std::shared_ptr<RunLoopTimer> timer = owner->timer;
    owner.reset();
    timer->invalidate();
    EXPECT_TRUE(watched.expired());
    EXPECT_FALSE(timer->isValid());
}

TEST(RunLoopTimer, OwnerDroppedDuringItsTimersFiringInvalidatesSafely) {
    RunLoop loop;
    auto owner = std::make_shared<TimerOwner>();
    const std::weak_ptr<TimerOwner> weakOwner = owner;
    owner->timer = loop.scheduledTimerWithTimeInterval(0.001, [&](RunLoopTimer&) {
        // The last owning reference goes inside the firing; its destructor invalidates the
        // timer that is firing right now.
        owner.reset();
        loop.stop();
    });
    const std::weak_ptr<RunLoopTimer> weakTimer = weakOwner.lock()->timer;
    ASSERT_TRUE(runUntilStopped(loop));
    EXPECT_TRUE(weakOwner.expired());
    EXPECT_TRUE(weakTimer.expired()) << "neither the loop nor the action keeps it";
}

TEST(RunLoopTimer, LoopDestructionInvalidatesItsTimersAndReleasesTheirActions) {
    auto capture = std::make_shared<int>(0);
    const std::weak_ptr<int> watched = capture;
    std::shared_ptr<RunLoopTimer> timer;
    {
        RunLoop loop;
        timer = loop.scheduledTimerWithTimeInterval(1, [capture](RunLoopTimer&) {});
        capture.reset();
        EXPECT_TRUE(timer->isValid());
    }
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(watched.expired());
    timer->invalidate();
}

} // namespace
