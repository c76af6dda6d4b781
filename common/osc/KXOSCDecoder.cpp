#include "common/osc/KXOSCDecoder.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory_resource>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/osc/KXOSCAddress.h"
#include "common/osc/KXOSCDataUtilities.h"
#include "platform/Ascii.h"

// Internally the decoder reads views of the datagram with unsigned offsets: an element of a
// bundle is a view of its own, with offsets counted from its first byte, and nothing is copied
// until a value is made. The public step operations wrap these with the signed 32-bit offsets
// of their interface.

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kBundleHeadSize = 16;
constexpr std::size_t kTimeTagOffset = 8;
constexpr std::size_t kTimeTagSize = 8;
constexpr std::size_t kNoEnd = std::numeric_limits<std::size_t>::max();
/// Room for the bundle work stack of typical nesting depths, so that it needs no allocation.
constexpr std::size_t kStackArena = 512;

[[noreturn]] void noPacket() {
    throw KXOSCDecoder::NoPacketError();
}

std::uint32_t wordAt(Bytes bytes, std::size_t offset) {
    const std::uint8_t* in = bytes.data() + offset;
    return std::uint32_t{in[0]} << 24 | std::uint32_t{in[1]} << 16 | std::uint32_t{in[2]} << 8 |
           std::uint32_t{in[3]};
}

/// The 4 bytes at `start`, which must lie inside the buffer.
std::uint32_t readWord(Bytes bytes, std::size_t start, std::size_t& end) {
    if (start > bytes.size() || bytes.size() - start < 4)
        throw DataRangeError();
    end = start + 4;
    return wordAt(bytes, start);
}

/// A string block ends with the first 4-byte word, counted from its start, whose last byte is
/// zero; the other bytes of each word are not looked at. `end` is after that word, or past the
/// end of the buffer when there is none (no string).
std::optional<std::string> readString(Bytes bytes, std::size_t start, std::size_t& end) {
    std::size_t last = start + 3;
    while (last < bytes.size() && bytes[last] != 0)
        last += 4;
    end = last + 1;
    if (last >= bytes.size())
        return std::nullopt;
    const std::string_view block(reinterpret_cast<const char*>(bytes.data() + start),
                                 last + 1 - start);
    // The trimmed zeros are ASCII, so testing what is left decides for the whole block.
    const std::string_view text = trimmingZeroCharacters(block);
    if (!isStrictAscii(text))
        return std::nullopt;
    return std::string(text);
}

/// A text read from the wire that keeps a zero character inside could not be written again
/// as the same string: the zero would end it early and the rest would be read as the next
/// field. Such an address or string argument is not taken.
bool writesBackAsRead(const std::string& text) {
    return text.find('\0') == std::string::npos;
}

/// The payload of the blob at `start`, or none when its size field does not fit the bytes
/// after it. `end` is after the size field, the payload and its 1 to 4 pad bytes.
std::optional<Bytes> readBlob(Bytes bytes, std::size_t start, std::size_t& end) {
    if (start > bytes.size())
        throw DataRangeError();
    const std::size_t rest = bytes.size() - start;
    const std::int32_t size = rest >= 4 ? static_cast<std::int32_t>(wordAt(bytes, start)) : 0;
    // Modulo 2^32 on purpose: a size from -4 to -1 passes and then asks for a payload past the
    // end, while every smaller size and one close to the int32 maximum is no blob.
    std::optional<Bytes> payload;
    if (rest >= static_cast<std::uint32_t>(size) + 4u) {
        if (size < 0)
            throw DataRangeError();
        payload = bytes.subspan(start + 4, static_cast<std::size_t>(size));
    }
    const std::size_t length = payload ? payload->size() : 0;
    end = start + 4 + length + (4 - length % 4);
    return payload;
}

/// A blob argument holds its whole block: size field, payload, 1 to 4 zero bytes.
std::shared_ptr<KXOSCArgument> blobArgument(Bytes payload) {
    const std::size_t length = payload.size();
    const std::size_t pad = 4 - length % 4;
    auto argument = std::make_shared<KXOSCArgument>();
    argument->setType(KXOSCArgument::kBlob);
    argument->setData(Data::withLength(4 + length + pad, [&](std::uint8_t* out) {
        const auto size = static_cast<std::uint32_t>(length);
        out[0] = static_cast<std::uint8_t>(size >> 24);
        out[1] = static_cast<std::uint8_t>(size >> 16);
        out[2] = static_cast<std::uint8_t>(size >> 8);
        out[3] = static_cast<std::uint8_t>(size);
        if (length > 0)
            std::memcpy(out + 4, payload.data(), length);
        std::memset(out + 4 + length, 0, pad);
    }));
    return argument;
}

std::shared_ptr<KXOSCArgument> readArgument(Bytes bytes, std::size_t start, std::size_t& end,
                                            char type) {
    switch (type) {
    case KXOSCArgument::kString: {
        const auto text = readString(bytes, start, end);
        if (!text || !writesBackAsRead(*text))
            return nullptr;
        return KXOSCArgument::argumentWithString(*text);
    }
    case KXOSCArgument::kInt:
        return KXOSCArgument::argumentWithInt(
            static_cast<std::int32_t>(readWord(bytes, start, end)));
    case KXOSCArgument::kFloat:
        return KXOSCArgument::argumentWithFloat(std::bit_cast<float>(readWord(bytes, start, end)));
    case KXOSCArgument::kBlob:
        // No blob still gives a blob argument, with an empty payload.
        return blobArgument(readBlob(bytes, start, end).value_or(Bytes()));
    default:
        return nullptr;
    }
}

/// The message, or no message when it is refused; throws for no packet.
std::shared_ptr<KXOSCMessage> readMessage(Bytes bytes) {
    std::size_t cursor = 0;
    auto address = readString(bytes, 0, cursor);
    if (!address || !writesBackAsRead(*address))
        return nullptr;
    const auto types = readString(bytes, cursor, cursor);
    if (!types)
        return nullptr;
    if (types->empty())
        noPacket();
    if (types->front() != ',')
        return nullptr;

    KXOSCMessage::ObjectList arguments;
    arguments.reserve(types->size() - 1);
    for (std::size_t i = 1; i < types->size(); ++i) {
        auto argument = readArgument(bytes, cursor, cursor, (*types)[i]);
        if (argument == nullptr)
            noPacket();
        arguments.push_back(std::move(argument));
    }
    // Bytes after the last argument are ignored.
    auto message =
        std::make_shared<KXOSCMessage>(std::make_shared<KXOSCAddress>(std::move(*address)));
    message->attachArguments(std::move(arguments));
    return message;
}

/// A bundle being read: its bytes and the offset of its next size field.
struct BundleFrame {
    std::shared_ptr<KXOSCBundle> bundle;
    Bytes bytes;
    std::size_t cursor;
};

BundleFrame openBundle(Bytes bytes) {
    if (bytes.size() < kBundleHeadSize)
        throw DataRangeError();
    auto bundle = std::make_shared<KXOSCBundle>();
    bundle->setTimeStamp(KXOSCDataUtilities::dateFromNTPTimestamp(
        Data::copyOf(bytes.subspan(kTimeTagOffset, kTimeTagSize))));
    return {std::move(bundle), bytes, kBundleHeadSize};
}

/// The bundle and every bundle nested in it, read with a work stack of open bundles: an element
/// that is a bundle is opened on top of its parent and attached to it once it is complete.
std::shared_ptr<KXOSCBundle> readBundle(Bytes bytes) {
    std::array<std::byte, kStackArena> arena;
    std::pmr::monotonic_buffer_resource resource(arena.data(), arena.size());
    std::pmr::vector<BundleFrame> open(&resource);
    open.push_back(openBundle(bytes));
    for (;;) {
        BundleFrame& frame = open.back();
        const std::size_t length = frame.bytes.size();
        // At least two bytes left: 0 or 1 after the last element are ignored, 2 or 3 are a
        // size field cut short.
        if (frame.cursor + 1 < length) {
            std::size_t start = 0;
            const auto size = static_cast<std::int32_t>(readWord(frame.bytes, frame.cursor, start));
            if (size < 0 || static_cast<std::size_t>(size) > length - start)
                noPacket();
            const Bytes element = frame.bytes.subspan(start, static_cast<std::size_t>(size));
            frame.cursor = start + element.size();
            // An element of size 0 reads as no packet and is skipped, as is a refused message.
            if (element.empty())
                continue;
            if (element.front() == '#')
                open.push_back(openBundle(element));
            else if (auto message = readMessage(element))
                frame.bundle->attachObject(std::move(message));
            continue;
        }
        std::shared_ptr<KXOSCBundle> complete = std::move(frame.bundle);
        open.pop_back();
        if (open.empty())
            return complete;
        open.back().bundle->attachObject(std::move(complete));
    }
}

std::size_t startOffset(std::int32_t startingAt) {
    if (startingAt < 0)
        throw DataRangeError();
    return static_cast<std::size_t>(startingAt);
}

std::int32_t endOffset(std::size_t end) {
    if (end > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw DataRangeError();
    return static_cast<std::int32_t>(end);
}

} // namespace

std::shared_ptr<KXOSCPacket> KXOSCDecoder::decodeData(const Data& data) {
    if (data.size() == 0)
        return nullptr;
    try {
        if (data[0] == '#')
            return readBundle(data.span());
        return readMessage(data.span());
    } catch (const NoPacketError&) {
        return nullptr;
    } catch (const DataRangeError&) {
        return nullptr;
    }
}

std::shared_ptr<KXOSCBundle> KXOSCDecoder::decodeRawBundle(const Data& data) {
    return readBundle(data.span());
}

std::shared_ptr<KXOSCMessage> KXOSCDecoder::decodeRawMessage(const Data& data) {
    return readMessage(data.span());
}

std::shared_ptr<KXOSCArgument> KXOSCDecoder::argumentFromData(const Data& data,
                                                              std::int32_t startingAt,
                                                              std::int32_t& endingAt, char ofType) {
    std::size_t end = kNoEnd;
    auto argument = readArgument(data.span(), startOffset(startingAt), end, ofType);
    if (end != kNoEnd)
        endingAt = endOffset(end);
    return argument;
}

std::optional<std::string> KXOSCDecoder::stringFromData(const Data& data, std::int32_t startingAt,
                                                        std::int32_t& endingAt) {
    std::size_t end = 0;
    auto text = readString(data.span(), startOffset(startingAt), end);
    endingAt = endOffset(end);
    return text;
}

Data KXOSCDecoder::dataBlobFromData(const Data& data, std::int32_t startingAt,
                                    std::int32_t& endingAt) {
    std::size_t end = 0;
    const auto payload = readBlob(data.span(), startOffset(startingAt), end);
    endingAt = endOffset(end);
    return payload ? Data::copyOf(*payload) : Data();
}

std::int32_t KXOSCDecoder::intFromData(const Data& data, std::int32_t startingAt,
                                       std::int32_t& endingAt) {
    std::size_t end = 0;
    const auto value =
        static_cast<std::int32_t>(readWord(data.span(), startOffset(startingAt), end));
    endingAt = endOffset(end);
    return value;
}

float KXOSCDecoder::floatFromData(const Data& data, std::int32_t startingAt,
                                  std::int32_t& endingAt) {
    std::size_t end = 0;
    const auto value = std::bit_cast<float>(readWord(data.span(), startOffset(startingAt), end));
    endingAt = endOffset(end);
    return value;
}
