#include "common/osc/KXOSCDecoder.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/osc/KXOSCAddress.h"
#include "common/osc/KXOSCDataUtilities.h"
#include "common/osc/KXOSCWorkStack.h"

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
/// Nesting depth of bundles that the reader keeps in place.
constexpr std::size_t kOpenBundlesInPlace = 4;

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

/// The 4 bytes at `at` as one number with the byte at `at + i` in bits 8i to 8i + 7.
std::uint32_t wordInMemoryOrder(const std::uint8_t* at) {
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
}

/// The usual string block, read with a word-at-a-time test for zero bytes: ASCII text that
/// begins at `start` and has no zero byte before the first one of its last word, which is zero
/// from there on. Such a block reads the same here as in the general reading below, and its
/// text holds no zero character. False, with nothing set, for any other block.
bool readPlainString(Bytes bytes, std::size_t start, std::size_t& end, std::string_view& text) {
    if (start > bytes.size())
        return false;
    std::uint32_t seen = 0;
    for (std::size_t at = start; bytes.size() - at >= 4; at += 4) {
        const std::uint32_t word = wordInMemoryOrder(bytes.data() + at);
        seen |= word;
        // The lowest bit set marks the word's first zero byte.
        const std::uint32_t zeros = (word - 0x01010101u) & ~word & 0x80808080u;
        if (zeros == 0)
            continue;
        const auto firstZero = static_cast<std::size_t>(std::countr_zero(zeros) / 8);
        if ((word >> (8 * firstZero)) != 0 || (seen & 0x80808080u) != 0)
            return false;
        end = at + 4;
        text = std::string_view(reinterpret_cast<const char*>(bytes.data() + start),
                                at - start + firstZero);
        return true;
    }
    return false;
}

/// A string block ends with the first 4-byte word, counted from its start, whose last byte is
/// zero; the other bytes of each word are not looked at. `end` is after that word, or past the
/// end of the buffer when there is none (no string). The text is a view of the datagram.
std::optional<std::string_view> readString(Bytes bytes, std::size_t start, std::size_t& end) {
    std::string_view plain;
    if (readPlainString(bytes, start, end, plain))
        return plain;
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

/// A string as readString reads it, or none when it has no text that writes back as read.
std::optional<std::string_view> readWritableString(Bytes bytes, std::size_t start,
                                                   std::size_t& end) {
    std::string_view plain;
    if (readPlainString(bytes, start, end, plain))
        return plain;
    const auto text = readString(bytes, start, end);
    if (!text || !writesBackAsRead(*text))
        return std::nullopt;
    return text;
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

/// A string argument; false when there is none to take.
bool readStringArgument(Bytes bytes, std::size_t start, std::size_t& end, KXOSCArgument& argument) {
    const auto text = readWritableString(bytes, start, end);
    if (!text)
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

/// Reads one argument of the given type into `argument`, a fresh one, as the bytes its value
/// setter would store. False when there is no argument: a type other than "s", "i", "f" and
/// "b", or a string that cannot be taken. Small, so that the common int32 and float32 are read
/// in the loop over the arguments.
inline bool readArgument(Bytes bytes, std::size_t start, std::size_t& end, char type,
                         KXOSCArgument& argument) {
    switch (type) {
    case KXOSCArgument::kString:
        return readStringArgument(bytes, start, end, argument);
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

/// Room for what allocate_shared makes of a message: the message and its own count.
struct MessageSlot {
    alignas(std::max_align_t) std::byte storage[sizeof(KXOSCMessage) + 4 * sizeof(void*)];
    /// The message's hold on the block the slot is in, taken when the message is made there
    /// and let go once the message's count is done with the slot.
    std::shared_ptr<void> block;
};

/// Hands allocate_shared the slot's storage, and on release the slot's hold on its block.
template <typename T> class SlotAllocator {
public:
    using value_type = T;

    explicit SlotAllocator(MessageSlot& slot) noexcept : slot_(&slot) {}
    template <typename U>
    SlotAllocator(const SlotAllocator<U>& other) noexcept : slot_(other.slot_) {}

    T* allocate(std::size_t count) {
        static_assert(sizeof(T) <= sizeof(MessageSlot::storage) &&
                          alignof(T) <= alignof(MessageSlot),
                      "the message and its count do not fit the slot");
        if (count != 1)
            throw std::bad_alloc();
        return reinterpret_cast<T*>(slot_->storage);
    }
    void deallocate(T*, std::size_t) noexcept {
        // The last thing the message's count does: the block may go now, the slot with it.
        const std::shared_ptr<void> block = std::move(slot_->block);
    }

    template <typename U> bool operator==(const SlotAllocator<U>& other) const noexcept {
        return slot_ == other.slot_;
    }

private:
    template <typename> friend class SlotAllocator;
    MessageSlot* slot_;
};

/// A message, its address and its first few arguments in one allocation. The address and
/// arguments are handed out by shared_ptrs that share the ownership of the whole block; the
/// message has a count of its own, kept in the block's slot, so that it can hold its parts
/// without holding itself. The block goes when the message and every part handed out are
/// released. Decoding makes several such objects per message, and an allocation for each was
/// most of the decoder's time.
template <std::size_t Count> struct MessageBlock {
    explicit MessageBlock(std::string_view text) : address(std::string(text)) {}
    KXOSCAddress address;
    std::array<KXOSCArgument, Count> arguments;
    MessageSlot slot;
};
constexpr std::size_t kMostArgumentsInOneBlock = 4;

/// Reads `count` arguments into `arguments`, with the types from `tags` on, and lists them under
/// `owner`, which keeps their memory; throws for no packet.
void readArguments(Bytes bytes, std::size_t cursor, std::string_view tags, std::size_t count,
                   KXOSCArgument* arguments, const std::shared_ptr<void>& owner,
                   KXOSCMessage::ObjectList& list) {
    list.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!readArgument(bytes, cursor, cursor, tags[i], arguments[i]))
            noPacket();
        list.emplace_back(owner, &arguments[i]);
    }
    // Bytes after the last argument are ignored.
}

/// The message made in the block's slot, holding the block's address and `arguments`.
template <std::size_t Count>
std::shared_ptr<KXOSCMessage> messageInBlock(std::shared_ptr<MessageBlock<Count>> block,
                                             KXOSCMessage::ObjectList arguments) {
    MessageBlock<Count>& parts = *block;
    std::shared_ptr<KXOSCAddress> address(block, &parts.address);
    // From here the slot holds the block until the message lets it go; nothing below throws:
    // the slot's storage is there, and the message takes its address without copying it.
    parts.slot.block = std::move(block);
    auto message = std::allocate_shared<KXOSCMessage>(SlotAllocator<KXOSCMessage>(parts.slot),
                                                      std::move(address));
    message->attachArguments(std::move(arguments));
    return message;
}

template <std::size_t Count>
std::shared_ptr<KXOSCMessage> readParts(Bytes bytes, std::size_t cursor, std::string_view address,
                                        std::string_view tags) {
    auto block = std::make_shared<MessageBlock<Count>>(address);
    KXOSCMessage::ObjectList arguments;
    readArguments(bytes, cursor, tags, Count, block->arguments.data(), block, arguments);
    return messageInBlock(std::move(block), std::move(arguments));
}

/// More arguments than a block holds: they are made in an array of their own.
std::shared_ptr<KXOSCMessage> readManyParts(Bytes bytes, std::size_t cursor,
                                            std::string_view address, std::string_view tags) {
    auto array = std::make_shared<KXOSCArgument[]>(tags.size());
    KXOSCMessage::ObjectList arguments;
    readArguments(bytes, cursor, tags, tags.size(), array.get(), array, arguments);
    return messageInBlock(std::make_shared<MessageBlock<0>>(address), std::move(arguments));
}

/// A message without arguments is made apart from its address. Each then has a single holder
/// and goes in one step; in a shared block, the message would let the block go twice in a row
/// (its address, then its slot), which measured slower than the allocation this saves.
std::shared_ptr<KXOSCMessage> messageWithoutArguments(std::string_view address) {
    auto message =
        std::make_shared<KXOSCMessage>(std::make_shared<KXOSCAddress>(std::string(address)));
    message->attachArguments(KXOSCMessage::ObjectList());
    return message;
}

/// The message, or no message when it is refused; throws for no packet.
std::shared_ptr<KXOSCMessage> readMessage(Bytes bytes) {
    std::size_t cursor = 0;
    const auto address = readWritableString(bytes, 0, cursor);
    // Leading zero bytes are trimmed, so an address may come out beginning with "#"; written
    // again, that message would be read as a bundle. Such an address is not taken either.
    if (!address || (!address->empty() && address->front() == '#'))
        return nullptr;
    const auto types = readString(bytes, cursor, cursor);
    if (!types)
        return nullptr;
    if (types->empty())
        noPacket();
    if (types->front() != ',')
        return nullptr;

    const std::string_view tags = types->substr(1);
    static_assert(kMostArgumentsInOneBlock == 4);
    switch (tags.size()) {
    case 0:
        return messageWithoutArguments(*address);
    case 1:
        return readParts<1>(bytes, cursor, *address, tags);
    case 2:
        return readParts<2>(bytes, cursor, *address, tags);
    case 3:
        return readParts<3>(bytes, cursor, *address, tags);
    case 4:
        return readParts<4>(bytes, cursor, *address, tags);
    default:
        return readManyParts(bytes, cursor, *address, tags);
    }
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
    KXOSCWorkStack<BundleFrame, kOpenBundlesInPlace> open;
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
