// OSC datagrams written byte by byte, as any OSC peer writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "UdpPeer.h"

class OscBytes {
public:
    OscBytes() = delete;

    /// A message with one int32 argument.
    static Bytes intMessage(const std::string& address, std::int32_t value);
    /// A message with one string argument.
    static Bytes stringMessage(const std::string& address, const std::string& value);
    /// A bundle of the elements, its time tag's seconds (from 2001, plus 0x5C000000) and
    /// fraction as given.
    static Bytes bundle(std::uint32_t seconds, std::uint32_t fraction,
                        const std::vector<Bytes>& elements);
    static Bytes concatenated(Bytes first, const Bytes& second);
};
