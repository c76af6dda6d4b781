// Driving a run loop from a test without hanging on a broken expectation.
#pragma once

#include <chrono>

#include "platform/RunLoop.h"
#include "platform/RunLoopTimer.h"

/// Runs `loop` in `mode` until something calls stop(), or until `limit` has passed. Returns
/// false when the limit came first, so that a delivery that never comes fails the test
/// instead of hanging it.
inline bool runUntilStopped(RunLoop& loop, RunLoop::Mode mode = RunLoop::Mode::Default,
                            std::chrono::duration<double> limit = std::chrono::seconds(30)) {
    bool expired = false;
    const auto watchdog =
        loop.scheduledTimerWithTimeInterval(limit.count(), [&](RunLoopTimer& timer) {
            expired = true;
            timer.invalidate();
            loop.stop();
        });
    loop.addTimer(watchdog, mode);
    loop.run(mode);
    watchdog->invalidate();
    return !expired;
}
