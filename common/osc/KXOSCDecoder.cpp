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
/// end of the buffer when there is none (no string). The text is a view of the datagram.
std::optional<std::string_view> readString(Bytes bytes, std::size_t start, std::size_t& end) {
    // The whole block is tested for ASCII while it is scanned, a word at a time: the zero bytes
    // that are trimmed below are ASCII themselves, so this decides for the text as well.
    std::uint32_t seen = 0;
    std::size_t last = start + 3;
    for (; last < bytes.size(); last += 4) {
        seen |= wordAt(bytes, last - 3);
        if (bytes[last] == 0)
            break;
    }
    end = last + 1;
    if (last >= bytes.size() || (seen & 0x80808080u) != 0)
        return std::nullopt;
    // Zero characters are trimmed at both ends; the block's last byte is one of them.
    std::size_t first = start;
    while (first < last && bytes[first] == 0)
        ++first;
    std::size_t stop = last;
    while (stop > first && bytes[stop - 1] == 0)
        --stop;
    return std::string_view(reinterpret_cast<const char*>(bytes.data() + first), stop - first);
}

/// A text read from the wire that keeps a zero character inside could not be written again
/// as the same string: the zero would end it early and the rest would be read as the next
/// field. Such an address or string argument is not taken.
bool writesBackAsRead(std::string_view text) {
    return text.find('\0') == std::string_view::npos;
}

/// Leading zero bytes are trimmed, so an address may come out beginning with "#"; written
/// again, that message would be read as a bundle. Such an address is not taken either.
bool addressWritesBackAsRead(std::string_view text) {
    return writesBackAsRead(text) && (text.empty() || text.front() != '#');
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
void setBlob(KXOSCArgument& argument, Bytes payload) {
    const std::size_t length = payload.size();
    const std::size_t pad = 4 - length % 4;
    argument.setType(KXOSCArgument::kBlob);
    argument.setData(Data::withLength(4 + length + pad, [&](std::uint8_t* out) {
        const auto size = static_cast<std::uint32_t>(length);
        out[0] = static_cast<std::uint8_t>(size >> 24);
        out[1] = static_cast<std::uint8_t>(size >> 16);
        out[2] = static_cast<std::uint8_t>(size >> 8);
        out[3] = static_cast<std::uint8_t>(size);
        if (length > 0)
            std::memcpy(out + 4, payload.data(), length);
        std::memset(out + 4 + length, 0, pad);
    }));
}

/// Reads one argument of the given type into `argument`, a fresh one, through the same value
/// setters as the argument factories. False when there is no argument: a type other than "s",
/// "i", "f" and "b", or a string that cannot be taken.
bool readArgument(Bytes bytes, std::size_t start, std::size_t& end, char type,
                  KXOSCArgument& argument) {
    switch (type) {
    case KXOSCArgument::kString: {
        const auto text = readString(bytes, start, end);
        if (!text || !writesBackAsRead(*text))
            return false;
        if (text->data() != reinterpret_cast<const char*>(bytes.data() + start)) {
            argument.setStringValue(*text);
            return true;
        }
        // Without leading zero bytes, the block read is exactly the string block of its text:
        // the text, then the 1 to 4 zero bytes that end the first word ending in zero.
        argument.setType(KXOSCArgument::kString);
        argument.setData(Data::copyOf(bytes.subspan(start, end - start)));
        return true;
    }
    case KXOSCArgument::kInt:
    case KXOSCArgument::kFloat:
        // The four bytes are the int32 or float32 block itself, carried bit for bit.
        readWord(bytes, start, end);
        argument.setType(type);
        argument.setData(Data::copyOf(bytes.subspan(start, 4)));
        return true;
    case KXOSCArgument::kBlob:
        // No blob still gives a blob argument, with an empty payload.
        setBlob(argument, readBlob(bytes, start, end).value_or(Bytes()));
        return true;
    default:
        return false;
    }
}

/// A message's address and its first few arguments in one allocation, each handed out by a
/// shared_ptr that shares the ownership of the whole block. Decoding makes several such objects
/// per message, and an allocation for each was most of the decoder's time.
template <std::size_t Count> struct MessageParts {
    explicit MessageParts(std::string_view text) : address(std::string(text)) {}
    KXOSCAddress address;
    std::array<KXOSCArgument, Count> arguments;
};
constexpr std::size_t kMostPartsInOneBlock = 4;

struct Parts {
    std::shared_ptr<KXOSCAddress> address;
    /// Owns `arguments`, which hold as many arguments as the type tags announce.
    std::shared_ptr<void> argumentsOwner;
    KXOSCArgument* arguments;
};

template <std::size_t Count> Parts makeParts(std::string_view address) {
    auto block = std::make_shared<MessageParts<Count>>(address);
    KXOSCArgument* arguments = block->arguments.data();
    std::shared_ptr<KXOSCAddress> owner(block, &block->address);
    return {std::move(owner), std::move(block), arguments};
}

Parts makeParts(std::string_view address, std::size_t count) {
    static_assert(kMostPartsInOneBlock == 4);
    switch (count) {
    case 0:
        return makeParts<0>(address);
    case 1:
        return makeParts<1>(address);
    case 2:
        return makeParts<2>(address);
    case 3:
        return makeParts<3>(address);
    case 4:
        return makeParts<4>(address);
    default: {
        auto arguments = std::make_shared<KXOSCArgument[]>(count);
        KXOSCArgument* first = arguments.get();
        return {std::make_shared<KXOSCAddress>(std::string(address)), std::move(arguments), first};
    }
    }
}

/// The message, or no message when it is refused; throws for no packet.
std::shared_ptr<KXOSCMessage> readMessage(Bytes bytes) {
    std::size_t cursor = 0;
    auto address = readString(bytes, 0, cursor);
    if (!address || !addressWritesBackAsRead(*address))
        return nullptr;
    const auto types = readString(bytes, cursor, cursor);
    if (!types)
        return nullptr;
    if (types->empty())
        noPacket();
    if (types->front() != ',')
        return nullptr;

    const std::size_t count = types->size() - 1;
    Parts parts = makeParts(*address, count);
    KXOSCMessage::ObjectList arguments;
    arguments.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        KXOSCArgument& argument = parts.arguments[i];
        if (!readArgument(bytes, cursor, cursor, (*types)[i + 1], argument))
            noPacket();
        arguments.emplace_back(parts.argumentsOwner, &argument);
    }
    // Bytes after the last argument are ignored.
    auto message = std::make_shared<KXOSCMessage>(std::move(parts.address));
    message->attachArguments(std::move(arguments));
    return message;
}

/// A bundle being read: its bytes, the offset of its next size field and the elements read
/// so far, which it is given once it is complete.
struct BundleFrame {
    std::shared_ptr<KXOSCBundle> bundle;
    Bytes bytes;
    std::size_t cursor;
    KXOSCBundle::ObjectList elements;
};

/// How many elements the size fields from `cursor` on announce, up to the first that does not
/// fit, so that the element list is allocated once.
std::size_t announcedElements(Bytes bytes, std::size_t cursor) {
    std::size_t count = 0;
    while (bytes.size() - cursor >= 4) {
        const auto size = static_cast<std::int32_t>(wordAt(bytes, cursor));
        cursor += 4;
        if (size < 0 || static_cast<std::size_t>(size) > bytes.size() - cursor)
            break;
        count += size > 0 ? 1 : 0;
        cursor += static_cast<std::size_t>(size);
    }
    return count;
}

BundleFrame openBundle(Bytes bytes) {
    if (bytes.size() < kBundleHeadSize)
        throw DataRangeError();
    auto bundle = std::make_shared<KXOSCBundle>();
    bundle->setTimeStamp(KXOSCDataUtilities::dateFromNTPTimestamp(
        Data::copyOf(bytes.subspan(kTimeTagOffset, kTimeTagSize))));
    KXOSCBundle::ObjectList elements;
    elements.reserve(announcedElements(bytes, kBundleHeadSize));
    return {std::move(bundle), bytes, kBundleHeadSize, std::move(elements)};
}

/// The bundle and every bundle nested in it, read with a work stack of open bundles: an element
/// that is a bundle is opened on top of its parent and added to it once it is complete.
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
                frame.elements.push_back(std::move(message));
            continue;
        }
        // A bundle without elements keeps no list at all, as if nothing had been attached.
        std::shared_ptr<KXOSCBundle> complete = std::move(frame.bundle);
        if (!frame.elements.empty())
            complete->attachObjects(std::move(frame.elements));
        open.pop_back();
        if (open.empty())
            return complete;
        open.back().elements.push_back(std::move(complete));
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
    auto argument = std::make_shared<KXOSCArgument>();
    const bool read = readArgument(data.span(), startOffset(startingAt), end, ofType, *argument);
    if (end != kNoEnd)
        endingAt = endOffset(end);
    return read ? argument : nullptr;
}

std::optional<std::string> KXOSCDecoder::stringFromData(const Data& data, std::int32_t startingAt,
                                                        std::int32_t& endingAt) {
    std::size_t end = 0;
    const auto text = readString(data.span(), startOffset(startingAt), end);
    endingAt = endOffset(end);
    if (!text)
        return std::nullopt;
    return std::string(*text);
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
