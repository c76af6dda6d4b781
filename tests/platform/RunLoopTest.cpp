#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "support/LoopDriver.h"

namespace {

using namespace std::chrono_literals;

TEST(RunLoop, CallsFromManyThreadsRunInEachThreadsOrderAndReleaseTheirCaptures) {
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 2000;
    RunLoop loop;
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::weak_ptr<int>> captures;
    std::mutex capturesMutex;
    int ran = 0;

    std::vector<std::thread> posters;
    for (int thread = 0; thread < kThreads; ++thread) {
        posters.emplace_back([&, thread] {
            for (int sequence = 0; sequence < kCallsPerThread; ++sequence) {
                auto capture = std::make_shared<int>(sequence);
                {
                    std::lock_guard lock(capturesMutex);
                    captures.push_back(capture);
                }
                // The call holds the only reference once the poster lets go of its own.
                loop.post([&, thread, capture = std::move(capture)] {
                    seen[thread].push_back(*capture);
                    if (++ran == kThreads * kCallsPerThread)
                        loop.stop();
                });
            }
        });
    }
    ASSERT_TRUE(runUntilStopped(loop));
    for (auto& poster : posters)
        poster.join();

    for (int thread = 0; thread < kThreads; ++thread) {
        ASSERT_EQ(seen[thread].size(), std::size_t{kCallsPerThread});
        for (int sequence = 0; sequence < kCallsPerThread; ++sequence)
            ASSERT_EQ(seen[thread][sequence], sequence) << "thread " << thread;
    }
    for (const auto& capture : captures)
        EXPECT_TRUE(capture.expired());
}

TEST(RunLoop, WakeUpHandlerIsCalledOncePerBatchNotOncePerPost) {
    RunLoop loop;
    std::atomic<int> wakeUps{0};
    loop.setWakeUpHandler([&] { ++wakeUps; });
    int ran = 0;

    std::vector<std::thread> posters;
    for (int thread = 0; thread < 3; ++thread) {
        posters.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                loop.post([&] { ++ran; });
        });
    }
    for (auto& poster : posters)
        poster.join();
    EXPECT_EQ(wakeUps.load(), 1);

    loop.performPostedCalls();
    EXPECT_EQ(ran, 300);
    loop.performPostedCalls();
    EXPECT_EQ(wakeUps.load(), 1) << "an empty drive needs no wake-up";

    loop.post([&] { ++ran; });
    loop.post([&] { ++ran; });
    EXPECT_EQ(wakeUps.load(), 2);
    loop.performPostedCalls();
    EXPECT_EQ(ran, 302);

    // A driver sleeping until its next deadline learns of new timers and of stop().
    const auto timer = loop.scheduledTimerWithTimeInterval(10, [](RunLoopTimer&) {});
    EXPECT_EQ(wakeUps.load(), 3);
    loop.addTimer(timer, RunLoop::Mode::EventTracking);
    EXPECT_EQ(wakeUps.load(), 4);
    loop.stop();
    EXPECT_EQ(wakeUps.load(), 5);
    timer->invalidate();
}

TEST(RunLoop, CallPostedDuringATimerFiringOrAnotherCallRunsAfterIt) {
    RunLoop loop;
    std::vector<std::string> events;
    const auto timer = loop.scheduledTimerWithTimeInterval(0.001, [&](RunLoopTimer& self) {
        self.invalidate();
        events.push_back("timer begins");
        loop.post([&] {
            events.push_back("first call begins");
            loop.post([&] {
                events.push_back("second call");
                loop.stop();
            });
            events.push_back("first call ends");
        });
        events.push_back("timer ends");
    });
    ASSERT_TRUE(runUntilStopped(loop));
    EXPECT_EQ(events, (std::vector<std::string>{"timer begins", "timer ends", "first call begins",
                                                "first call ends", "second call"}));
}

TEST(RunLoop, NestedDriveContinuesTheBatchInProgressInOrder) {
    RunLoop loop;
    std::vector<char> order;
    loop.post([&] {
        order.push_back('A');
        loop.post([&] { order.push_back('D'); });
        loop.performPostedCalls();
    });
    loop.post([&] { order.push_back('B'); });
    loop.post([&] { order.push_back('C'); });
    loop.performPostedCalls();
    EXPECT_EQ(order, (std::vector<char>{'A', 'B', 'C', 'D'}));
}

TEST(RunLoop, CallThatThrowsLeavesTheCallsBehindItQueuedInOrder) {
    RunLoop loop;
    std::vector<char> order;
    loop.post([&] { order.push_back('A'); });
    loop.post([&] {
        order.push_back('B');
        throw std::runtime_error("B failed");
    });
    loop.post([&] { order.push_back('C'); });
    loop.post([&] { order.push_back('D'); });
    EXPECT_THROW(loop.performPostedCalls(), std::runtime_error);
    EXPECT_EQ(order, (std::vector<char>{'A', 'B'}));
    loop.post([&] { order.push_back('E'); });
    loop.performPostedCalls();
    EXPECT_EQ(order, (std::vector<char>{'A', 'B', 'C', 'D', 'E'}));
}

TEST(RunLoop, StopIsKeptForTheNextRunAndWorksFromAnotherThread) {
    RunLoop loop;
    loop.stop();
    loop.run(); // returns at once

    // Another thread stops a run that has nothing to do and sleeps without a deadline.
    std::thread stopper([&] { loop.stop(); });
    loop.run();
    stopper.join();

    // The stop is consumed: the next run serves work again.
    bool ran = false;
    loop.post([&] {
        ran = true;
        loop.stop();
    });
    loop.run();
    EXPECT_TRUE(ran);
}

TEST(RunLoop, DestructionDropsQueuedCallsWithoutRunningThem) {
    auto capture = std::make_shared<int>(1);
    const std::weak_ptr<int> watched = capture;
    bool ran = false;
    {
        RunLoop loop;
        loop.post([&ran, capture = std::move(capture)] { ran = true; });
    }
    EXPECT_FALSE(ran);
    EXPECT_TRUE(watched.expired());
}

} // namespace
