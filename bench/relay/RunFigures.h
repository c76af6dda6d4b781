#pragma once

#include "Sink.h"

#include <cstdint>
#include <utility>
#include <vector>

// What one bounded load run did to the datagrams: counted against what each sink should have
// received, with the latency percentiles of the datagrams that arrived.
class RunFigures {
public:
    // The streams one sink should receive, each with its number of datagrams (sequence numbers
    // 0 to count - 1).
    using Expectation = std::vector<std::pair<std::int32_t, std::uint64_t>>;

    // Adds one sink's record. Arrivals of other streams (late arrivals of an earlier run) are
    // ignored.
    void add(const Sink::Record& record, const Expectation& expected);
    // Takes the latency percentiles and lets the single latencies go; call once every sink was
    // added.
    void finish();

    // Whether every datagram arrived once, intact, and without reordering.
    bool clean() const noexcept {
        return lost == 0 && duplicated == 0 && reordered == 0 && corrupted == 0;
    }
    std::uint64_t expected = 0;
    std::uint64_t arrived = 0;
    std::uint64_t lost = 0;
    std::uint64_t duplicated = 0;
    // Arrivals whose sequence number is lower than one already received on the same stream.
    std::uint64_t reordered = 0;
    std::uint64_t corrupted = 0;
    std::uint64_t droppedBySinks = 0;
    // Datagrams the relay's own listen sockets dropped (their receive queue was full).
    std::uint64_t droppedAtRelay = 0;
    std::uint64_t sent = 0;
    double sendSeconds = 0;
    double relayCpuSeconds = 0;
    // Latency percentiles of the arrivals in microseconds (0 without arrivals).
    double p50 = 0;
    double p99 = 0;
    double max = 0;

private:
    double percentile(double fraction) const;

    std::vector<std::int64_t> latencies_;
};
