#pragma once

// SIGINT and SIGTERM turned into a readable descriptor, so that a relay's main thread can wait for
// traffic and for the request to stop in one poll. Construct it before starting any thread: the
// signals are blocked for the whole process, threads inherit the mask, and only the descriptor
// sees them.
class TerminationSignal {
public:
    TerminationSignal();
    ~TerminationSignal();
    TerminationSignal(const TerminationSignal&) = delete;
    TerminationSignal& operator=(const TerminationSignal&) = delete;

    // Readable once a stop was requested.
    int descriptor() const noexcept { return descriptor_; }
    // Blocks until a stop is requested.
    void wait() const;

private:
    int descriptor_;
};
