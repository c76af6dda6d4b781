// Byte buffers written as hex in tests: bytes("5C 00 00 01").
#pragma once

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/Data.h"

/// Lets GoogleTest show a buffer as its bytes in failure messages.
inline void PrintTo(const Data& data, std::ostream* out) {
    *out << data.description();
}

namespace testing_support {

/// The bytes of a hex text such as "5C 00 00 01"; spaces are ignored, "" is the empty buffer.
inline Data bytes(std::string_view hex) {
    const auto nibble = [](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9')
            return static_cast<std::uint8_t>(c - '0');
        if (c >= 'A' && c <= 'F')
            return static_cast<std::uint8_t>(c - 'A' + 10);
        if (c >= 'a' && c <= 'f')
            return static_cast<std::uint8_t>(c - 'a' + 10);
        throw std::invalid_argument("not a hex digit");
    };
    std::vector<std::uint8_t> out;
    int pending = -1;
    for (const char c : hex) {
        if (c == ' ')
            continue;
        if (pending < 0) {
            pending = nibble(c);
        } else {
            out.push_back(static_cast<std::uint8_t>(pending << 4 | nibble(c)));
            pending = -1;
        }
    }
    if (pending >= 0)
        throw std::invalid_argument("odd number of hex digits");
    return Data::copyOf(out);
}

} // namespace testing_support
