#include "platform/RunLoop.h"

#include <algorithm>
#include <ctime>

#include <poll.h>

namespace {

constexpr unsigned bit(RunLoop::Mode mode) {
    return static_cast<unsigned>(mode);
}

} // namespace

void RunLoop::CallList::append(CallList other) noexcept {
    if (other.head == nullptr)
        return;
    if (tail != nullptr)
        tail->next = other.head;
    else
        head = other.head;
    tail = other.tail;
}

RunLoop::PostedCall* RunLoop::CallList::popFront() noexcept {
    PostedCall* call = head;
    if (call != nullptr) {
        head = call->next;
        if (head == nullptr)
            tail = nullptr;
        call->next = nullptr;
    }
    return call;
}

void RunLoop::CallList::deleteAll() noexcept {
    while (PostedCall* call = popFront())
        delete call;
}

RunLoop::RunLoop() = default;

RunLoop::~RunLoop() {
    // Releasing an action or a call may end objects that invalidate other timers or post
    // again; both find the loop in a consistent state, and what they post is dropped too.
    auto timers = std::exchange(timers_, {});
    for (const auto& timer : timers)
        timer->orphan();
    batch_.deleteAll();
    for (;;) {
        CallList queued;
        {
            std::lock_guard lock(queueMutex_);
            queued = std::exchange(queue_, {});
        }
        if (queued.head == nullptr)
            break;
        queued.deleteAll();
    }
}

RunLoop& RunLoop::main() {
    // Deliberately never destroyed: detached receive threads may still post during exit.
    static RunLoop* const loop = new RunLoop();
    return *loop;
}

void RunLoop::enqueue(PostedCall* call) {
    std::unique_ptr<PostedCall> owned(call);
    std::shared_ptr<const std::function<void()>> handler;
    bool wake = false;
    {
        std::lock_guard lock(queueMutex_);
        queue_.append(CallList{owned.get(), owned.get()});
        owned.release();
        if (wakeUpArmed_) {
            wakeUpArmed_ = false;
            wake = true;
            handler = wakeUpHandler_;
        }
    }
    if (!wake)
        return;
    if (handler)
        (*handler)();
    else
        wakeUpStandaloneRun();
}

void RunLoop::wakeUp() {
    std::shared_ptr<const std::function<void()>> handler;
    {
        std::lock_guard lock(queueMutex_);
        handler = wakeUpHandler_;
    }
    if (handler)
        (*handler)();
    else
        wakeUpStandaloneRun();
}

void RunLoop::wakeUpStandaloneRun() noexcept {
    standaloneWakeUp_.signal();
}

void RunLoop::stop() {
    stopRequested_.store(true);
    wakeUp();
}

void RunLoop::setWakeUpHandler(std::function<void()> handler) {
    std::shared_ptr<const std::function<void()>> installed;
    if (handler)
        installed = std::make_shared<const std::function<void()>>(std::move(handler));
    {
        std::lock_guard lock(queueMutex_);
        std::swap(wakeUpHandler_, installed);
    }
    // The previous handler, now in `installed`, is released outside the lock.
}

void RunLoop::takeQueue(bool rearm) {
    std::lock_guard lock(queueMutex_);
    if (rearm || queue_.head == nullptr)
        wakeUpArmed_ = true;
    batch_.append(std::exchange(queue_, {}));
}

bool RunLoop::runBatch() {
    bool ran = false;
    while (PostedCall* next = batch_.popFront()) {
        // The node, and with it what the call captured, goes once the call has returned.
        const std::unique_ptr<PostedCall> call(next);
        ran = true;
        call->run();
    }
    return ran;
}

void RunLoop::performPostedCalls() {
    takeQueue(true);
    runBatch();
}

void RunLoop::run(Mode mode) {
    for (;;) {
        if (stopRequested_.exchange(false))
            return;
        fireDueTimers(mode);
        // Not re-armed while work keeps coming: posts made while this thread is busy need no
        // wake-up, since it looks at the queue again before it sleeps.
        takeQueue(false);
        if (runBatch())
            continue;
        if (stopRequested_.exchange(false))
            return;
        waitForWork(nextTimerDeadline(mode));
    }
}

void RunLoop::waitForWork(std::optional<Clock::time_point> deadline) {
    timespec timeout{};
    timespec* timeoutOrNone = nullptr;
    if (deadline) {
        const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        timeout.tv_sec = static_cast<time_t>(seconds.count());
        timeout.tv_nsec = static_cast<long>(std::chrono::nanoseconds(left - seconds).count());
        timeoutOrNone = &timeout;
    }
    pollfd wakeUp{standaloneWakeUp_.descriptor(), POLLIN, 0};
    // Nanosecond time-out: a deadline less than a millisecond away must not turn into a
    // zero time-out and spin.
    if (ppoll(&wakeUp, 1, timeoutOrNone, nullptr) > 0 && (wakeUp.revents & POLLIN) != 0)
        standaloneWakeUp_.drain();
}

std::shared_ptr<RunLoopTimer> RunLoop::scheduledTimerWithTimeInterval(double seconds,
                                                                      RunLoopTimer::Action action) {
    // About 31 years; longer intervals would overflow the clock's count.
    constexpr double kLongestInterval = 1.0e9;
    auto interval = kMinimumInterval;
    if (seconds > std::chrono::duration<double>(kMinimumInterval).count())
        interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::min(seconds, kLongestInterval)));
    std::shared_ptr<RunLoopTimer> timer(new RunLoopTimer(*this, interval, std::move(action)));
    timer->modes_ = bit(Mode::Default);
    timers_.push_back(timer);
    timersChanged();
    return timer;
}

void RunLoop::addTimer(const std::shared_ptr<RunLoopTimer>& timer, Mode mode) {
    if (timer == nullptr || timer->loop_ != this)
        return;
    timer->modes_ |= bit(mode);
    timersChanged();
}

void RunLoop::timersChanged() {
    std::shared_ptr<const std::function<void()>> handler;
    {
        std::lock_guard lock(queueMutex_);
        handler = wakeUpHandler_;
    }
    if (handler)
        (*handler)();
}

void RunLoop::removeTimer(const RunLoopTimer* timer) noexcept {
    const auto found = std::find_if(timers_.begin(), timers_.end(),
                                    [timer](const auto& held) { return held.get() == timer; });
    if (found != timers_.end())
        timers_.erase(found);
}

void RunLoop::fireDueTimers(Mode mode) {
    const auto now = Clock::now();
    const auto isDue = [&](const std::shared_ptr<RunLoopTimer>& timer) {
        return timer->isValid() && (timer->modes_ & bit(mode)) != 0 && !timer->firing_ &&
               timer->fireDate_ <= now;
    };
    // A snapshot: actions may make, add or invalidate timers while it is walked.
    std::vector<std::shared_ptr<RunLoopTimer>> due;
    for (const auto& timer : timers_) {
        if (isDue(timer))
            due.push_back(timer);
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a->fireDate_ < b->fireDate_; });
    for (const auto& timer : due) {
        if (isDue(timer))
            timer->fire(now);
    }
}

std::optional<RunLoop::Clock::time_point> RunLoop::nextTimerDeadline(Mode mode) const {
    std::optional<Clock::time_point> deadline;
    for (const auto& timer : timers_) {
        if ((timer->modes_ & bit(mode)) != 0 && (!deadline || timer->latestFireDate() < *deadline))
            deadline = timer->latestFireDate();
    }
    return deadline;
}
