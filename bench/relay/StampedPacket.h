#pragma once

#include <cstddef>
#include <cstdint>

// The load tool's datagrams: a realistic mix of the four packets a show sends, each carrying its
// stream, sequence number and send time inside the OSC content (as four trailing int32
// arguments), so the stamp survives a relay that decodes and encodes afresh.
//
//   kind 0  /cue/1/go  (no payload arguments)
//   kind 1  /fader/3   f 0.5
//   kind 2  /osc/msg   s "hello", i 42, f 1.5
//   kind 3  a bundle, immediate time tag, holding kinds 0, 1 and 2, each with the same stamp
class StampedPacket {
public:
    struct Stamp {
        std::int32_t stream = 0;
        std::int32_t sequence = 0;
        // CLOCK_REALTIME, the clock of the kernel's receive time stamps.
        std::int64_t sentNanoseconds = 0;
    };

    static constexpr std::size_t kinds = 4;
    // Larger than any packet of the mix.
    static constexpr std::size_t largest = 256;

    // The kind a sequence number gets: the four take turns.
    static std::size_t kindOf(std::int32_t sequence) noexcept {
        return static_cast<std::size_t>(sequence) % kinds;
    }

    // Writes the packet of the kind into `out` (at least `largest` bytes); returns its length.
    static std::size_t write(std::size_t kind, const Stamp& stamp, unsigned char* out) noexcept;

    // Reads a received datagram. True only when it is exactly one packet of the mix with every
    // payload value intact (and, for a bundle, all three elements stamped alike); anything else
    // counts as corrupted.
    static bool read(const unsigned char* data, std::size_t length, Stamp& stamp) noexcept;
};
