// Ending the main run loop on SIGINT or SIGTERM, from a thread that waits for them.
#pragma once

#include <atomic>
#include <csignal>
#include <thread>

/// While it exists, SIGINT and SIGTERM stop the main run loop's standalone run, which then
/// returns (a signal that comes before the run makes it return at once).
///
/// The signals are blocked in the thread that makes the waiter, and so in every thread started
/// from it afterwards; one thread of the waiter's own takes them with sigwait and stops the
/// loop from there. No handler runs inside another thread's system call, so a receive thread
/// blocked on its socket can never hold a signal back, and nothing is restricted to
/// async-signal-safe calls. Make the waiter before any other thread, or those threads may
/// still take the signals with their default action.
///
/// The signals stay blocked after the waiter is gone: one more Ctrl+C during teardown does not
/// kill the process half-way.
class TerminationSignalWaiter {
public:
    TerminationSignalWaiter();
    TerminationSignalWaiter(const TerminationSignalWaiter&) = delete;
    TerminationSignalWaiter& operator=(const TerminationSignalWaiter&) = delete;
    /// Ends the waiting thread.
    ~TerminationSignalWaiter();

private:
    void waitForSignals();

    sigset_t signals_;
    std::atomic<bool> ending_{false};
    std::thread thread_;
};
