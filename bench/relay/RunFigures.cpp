#include "RunFigures.h"

#include <algorithm>
#include <cmath>

void RunFigures::add(const Sink::Record& record, const Expectation& expectation) {
    struct Stream {
        std::vector<bool> seen;
        std::int64_t highest = -1;
    };
    std::vector<Stream> streams;
    for (const auto& [stream, count] : expectation) {
        streams.push_back({std::vector<bool>(count), -1});
        expected += count;
    }
    for (const Sink::Arrival& arrival : record.arrivals) {
        std::size_t index = 0;
        while (index < expectation.size() && expectation[index].first != arrival.stream) {
            ++index;
        }
        if (index == expectation.size()) {
            continue;
        }
        Stream& stream = streams[index];
        if (arrival.sequence < 0 ||
            static_cast<std::size_t>(arrival.sequence) >= stream.seen.size()) {
            ++corrupted;
            continue;
        }
        if (stream.seen[static_cast<std::size_t>(arrival.sequence)]) {
            ++duplicated;
            continue;
        }
        stream.seen[static_cast<std::size_t>(arrival.sequence)] = true;
        ++arrived;
        latencies_.push_back(arrival.latencyNanoseconds);
        if (arrival.sequence < stream.highest) {
            ++reordered;
        } else {
            stream.highest = arrival.sequence;
        }
    }
    corrupted += record.corrupted;
    droppedBySinks += record.droppedBySink;
    lost = expected - arrived;
}

void RunFigures::finish() {
    std::sort(latencies_.begin(), latencies_.end());
    p50 = percentile(0.50);
    p99 = percentile(0.99);
    max = percentile(1.0);
    latencies_ = {};
}

double RunFigures::percentile(double fraction) const {
    if (latencies_.empty()) {
        return 0;
    }
    // Nearest rank: the smallest latency that at least `fraction` of the arrivals do not exceed.
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(latencies_.size())));
    const std::size_t index = std::clamp<std::size_t>(rank, 1, latencies_.size()) - 1;
    return static_cast<double>(latencies_[index]) / 1000.0;
}
