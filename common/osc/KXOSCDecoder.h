// Datagram bytes back to OSC messages and bundles.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "common/osc/KXOSCArgument.h"
#include "common/osc/KXOSCBundle.h"
#include "common/osc/KXOSCMessage.h"
#include "platform/Data.h"

/// Reads one datagram into a message or a bundle. Stateless; safe on any thread; never reads
/// outside the buffer it is given.
///
/// Input that does not fit has one of three outcomes: a message is refused (no message; inside
/// a bundle the element is skipped), the whole datagram gives no packet, or the bytes are read
/// anyway. "No packet" is thrown from wherever it arises, as NoPacketError or DataRangeError,
/// and caught only by decodeData, so that it stops the datagram from any depth and no partly
/// built packet escapes. The other operations are decodeData's steps and let both through.
///
/// Nested bundles are read with a work stack, not by recursion: the stack used does not grow
/// with the nesting depth.
///
/// A decoded message with one to four arguments is made in one allocation with its address and
/// arguments: each stays valid as long as it is held, and holding any one of them keeps the
/// memory of the others.
class KXOSCDecoder {
public:
    /// The datagram cannot be read as a packet at all.
    class NoPacketError : public std::exception {
    public:
        const char* what() const noexcept override { return "datagram holds no OSC packet"; }
    };

    KXOSCDecoder() = delete;

    /// A message or a bundle, or no packet (nullptr) when the datagram cannot be read.
    ///
    /// Whatever it returns is written again by packetizedData as bytes that read back as the
    /// same packet (less bundles without elements, which are written as a size field of 0). So
    /// a text that would not survive that is not taken: an address or string argument that keeps
    /// a zero character inside once trimmed, and an address that then begins with "#". Such an
    /// address refuses its message; such a string argument gives no packet.
    static std::shared_ptr<KXOSCPacket> decodeData(const Data& data);

    /// The datagram as a bundle; its first byte is taken to be "#" and not looked at. Elements
    /// of size 0 and refused messages are skipped.
    static std::shared_ptr<KXOSCBundle> decodeRawBundle(const Data& data);
    /// The datagram as a message, or no message when it is refused.
    static std::shared_ptr<KXOSCMessage> decodeRawMessage(const Data& data);

    /// One argument of the given type at `startingAt`; no argument for a type other than "s",
    /// "i", "f" and "b" (endingAt is then left as it was) or a string that cannot be read.
    static std::shared_ptr<KXOSCArgument> argumentFromData(const Data& data,
                                                           std::int32_t startingAt,
                                                           std::int32_t& endingAt, char ofType);
    /// The string block from `startingAt` to the first word whose last byte is zero, read as
    /// ASCII with zero characters trimmed at both ends; no string when it runs to the end or
    /// is not ASCII.
    static std::optional<std::string> stringFromData(const Data& data, std::int32_t startingAt,
                                                     std::int32_t& endingAt);
    /// A blob's payload, or no blob (absent Data) when its size field does not fit; endingAt is
    /// after the size field, the payload and 1 to 4 pad bytes, which are not examined.
    static Data dataBlobFromData(const Data& data, std::int32_t startingAt, std::int32_t& endingAt);
    static std::int32_t intFromData(const Data& data, std::int32_t startingAt,
                                    std::int32_t& endingAt);
    static float floatFromData(const Data& data, std::int32_t startingAt, std::int32_t& endingAt);
};
