#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

// Sends numbered, time-stamped packets of the load mix at a set rate, taking turns over its
// targets; datagram i goes to target i mod T, on stream firstStream + (i mod T), with sequence
// number i / T. The send runs on the calling thread and stops by itself: after `count` datagrams,
// or when twice the planned time and one second have passed.
class LoadSender {
public:
    struct Report {
        std::uint64_t sent = 0;
        // Sends the system refused (the datagram never left).
        std::uint64_t refused = 0;
        // From the first send to the last.
        double seconds = 0;
    };

    static Report send(const std::vector<sockaddr_in>& targets, std::int32_t firstStream,
                       double ratePerSecond, std::uint64_t count);
};
