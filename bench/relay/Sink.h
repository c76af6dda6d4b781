#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// A destination of the relay under test: a socket on a port of its own that records every
// datagram it receives during a run. Latency is taken from the kernel's receive time stamp, so the
// sink's own scheduling delay stays out of the figure, and the socket's receive queue is large and
// its overflows are counted, so a datagram the sink itself dropped is not blamed on the relay.
class Sink {
public:
    struct Arrival {
        std::int32_t stream;
        std::int32_t sequence;
        std::int64_t latencyNanoseconds;
    };
    struct Record {
        std::vector<Arrival> arrivals;
        // Datagrams that were not an intact packet of the load mix.
        std::uint64_t corrupted = 0;
        // Datagrams the sink's own receive queue dropped during the run.
        std::uint64_t droppedBySink = 0;
    };

    Sink();
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    std::int32_t port() const noexcept { return port_; }

    // Starts recording on a thread of its own, for a run whose streams start at `firstStream`.
    void start(std::size_t expected, std::int32_t firstStream);
    // Datagrams of the run received since `start`, for the caller's wait for the relay to drain.
    std::uint64_t received() const noexcept { return received_.load(std::memory_order_relaxed); }
    // Stops recording and hands over what was recorded.
    Record stop();

private:
    void receive();

    int socket_;
    std::int32_t port_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> received_{0};
    std::int32_t firstStream_ = 0;
    std::uint32_t overflowCount_ = 0;
    Record record_;
};
