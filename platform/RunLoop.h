// The main run loop: calls posted from any thread, and repeating timers.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/RunLoopTimer.h"
#include "platform/WakeUpDescriptor.h"

/// One queue of posted calls and one set of timers, served by the one thread that drives the
/// loop (the main thread for RunLoop::main()).
///
/// Posting. post() may be called from any thread and never waits for the loop's thread: it
/// allocates one node holding the call, takes the queue's lock only to link it, and wakes the
/// loop only when the loop has no wake-up outstanding, so a burst of posts costs one wake-up.
/// Calls run one at a time on the loop's thread, in one queue order that keeps each posting
/// thread's order. A call keeps everything it captured alive until it has run, and releases it
/// right after. A call posted while a timer fires or while another call runs, runs after it.
///
/// Timers. scheduledTimerWithTimeInterval() makes a repeating timer registered in the default
/// mode; addTimer() registers it in another mode as well. A loop run in a mode fires only the
/// timers registered in that mode. Timers due at about the same moment fire on one wake-up, in
/// the order of their fire dates. Timers are made, added, fired and invalidated on the loop's
/// thread only. A timer fires at most one tenth of its interval late when the loop is idle;
/// missed firings are skipped, not caught up.
///
/// Two ways to drive the loop, over the same queue and timers:
/// - Standalone: run() serves posted calls and timers of one mode until stop(), sleeping in
///   the kernel between deadlines. It needs no wake-up handler.
/// - From another event loop: the driver installs a wake-up handler (setWakeUpHandler), and
///   on its own thread calls performPostedCalls() after each wake-up, fireDueTimers() when
///   the deadline from nextTimerDeadline() has come, and asks for the deadline again after
///   each of those calls and each wake-up.
///
/// Calls and timer actions should not throw. If one does, the exception reaches whoever drove
/// the loop; the calls that were queued behind it stay queued, in order, and run at the next
/// drive, and the timer keeps its schedule.
class RunLoop {
public:
    using Clock = std::chrono::steady_clock;

    /// A set of timers that a run serves. A timer fires only in the modes it was added to.
    enum class Mode : unsigned {
        Default = 1u << 0,
        /// Served while a control or menu tracks the mouse, so that timers added to it keep
        /// firing then.
        EventTracking = 1u << 1,
    };

    /// The shortest interval a timer takes; shorter ones are raised to it.
    static constexpr Clock::duration kMinimumInterval = std::chrono::microseconds(100);

    RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;
    /// Invalidates every timer and drops the calls still queued without running them.
    ~RunLoop();

    /// The process's main run loop. It is never destroyed, so threads may post to it until
    /// the process ends.
    static RunLoop& main();

    // -- Any thread ------------------------------------------------------------------------

    /// Queues a call and returns at once.
    template <typename Call> void post(Call&& call) {
        auto node = std::make_unique<PostedCallOf<std::decay_t<Call>>>(std::forward<Call>(call));
        enqueue(node.release());
    }

    /// Makes the running (or the next) run() return at the end of its current turn: the
    /// timer firings and the batch of calls it is serving complete first. A stop requested
    /// while no run() is in progress is kept for the next one.
    void stop();

    // -- The loop's thread -----------------------------------------------------------------

    /// A new valid timer in the default mode. Fire dates lie on a grid of the interval on
    /// the steady clock, so that timers of one interval fire together: the first one is one
    /// to two intervals from now. The action gets the timer as its argument.
    std::shared_ptr<RunLoopTimer> scheduledTimerWithTimeInterval(double seconds,
                                                                 RunLoopTimer::Action action);
    /// Registers the timer in one more mode. Does nothing for an invalid timer or one made by
    /// another loop.
    void addTimer(const std::shared_ptr<RunLoopTimer>& timer, Mode mode);

    /// Serves posted calls and the timers of `mode` until stop(). Standalone use only: not
    /// while a wake-up handler is installed.
    void run(Mode mode = Mode::Default);

    /// From now on the handler, not the standalone run's wake-up, is called: from the posting
    /// thread when a call is posted and no wake-up is outstanding since the last
    /// performPostedCalls() (once per batch, not once per post), by stop(), and when a timer
    /// is scheduled or added, so that a driver sleeping until a later deadline learns of it.
    /// The handler must not wait for the loop's thread. An empty handler removes it; a posting
    /// thread may still be running the old one when this returns, so what the handler uses
    /// must outlive it (capture it by shared ownership).
    void setWakeUpHandler(std::function<void()> handler);

    /// Runs the calls queued so far, in order. Calls posted from now on wake the loop again.
    void performPostedCalls();

    /// Fires each timer of `mode` whose fire date has come, in the order of their fire dates.
    void fireDueTimers(Mode mode);

    /// The instant by which the loop should next fire the timers of `mode`, or none when no
    /// valid timer is registered in it. It may lie in the past.
    std::optional<Clock::time_point> nextTimerDeadline(Mode mode) const;

private:
    friend class RunLoopTimer;

    struct PostedCall {
        virtual ~PostedCall() = default;
        virtual void run() = 0;
        PostedCall* next = nullptr;
    };
    template <typename Call> struct PostedCallOf final : PostedCall {
        template <typename Arg> explicit PostedCallOf(Arg&& arg) : call(std::forward<Arg>(arg)) {}
        void run() override { call(); }
        Call call;
    };
    /// An intrusive singly linked list of posted calls.
    struct CallList {
        PostedCall* head = nullptr;
        PostedCall* tail = nullptr;
        void append(CallList other) noexcept;
        PostedCall* popFront() noexcept;
        void deleteAll() noexcept;
    };

    void enqueue(PostedCall* call);
    /// Moves the shared queue behind the calls of the batch in progress. With `rearm`, the
    /// next post wakes the loop; without it, only when the queue was found empty.
    void takeQueue(bool rearm);
    /// Runs the batch in progress; false when it was empty.
    bool runBatch();
    void wakeUp();
    void wakeUpStandaloneRun() noexcept;
    void waitForWork(std::optional<Clock::time_point> deadline);
    void removeTimer(const RunLoopTimer* timer) noexcept;
    void timersChanged();

    // Shared with posting threads.
    std::mutex queueMutex_;
    CallList queue_;
    bool wakeUpArmed_ = true;
    std::atomic<bool> stopRequested_{false};
    std::shared_ptr<const std::function<void()>> wakeUpHandler_;
    // Wakes the standalone run; signalled from posting threads, drained by the loop's thread.
    const WakeUpDescriptor standaloneWakeUp_;

    // The loop's thread only. `batch_` holds the calls taken from the queue and not yet run,
    // so that a nested drive continues them in order.
    CallList batch_;
    std::vector<std::shared_ptr<RunLoopTimer>> timers_;
};
