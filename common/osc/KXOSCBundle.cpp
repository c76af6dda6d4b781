#include "common/osc/KXOSCBundle.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory_resource>
#include <new>
#include <typeinfo>
#include <vector>

#include "common/osc/KXOSCDataUtilities.h"
#include "common/osc/KXOSCMessage.h"

namespace {

/// "#bundle" as a string block.
constexpr std::array<std::uint8_t, 8> kMarker = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
/// The marker and the time tag.
constexpr std::size_t kHeadSize = 16;
constexpr std::size_t kSizeFieldSize = 4;
/// Room for the work stack of typical nesting depths, so that it needs no allocation.
constexpr std::size_t kStackArena = 512;

bool hasElements(const KXOSCBundle& bundle) {
    const auto& elements = bundle.attachedObjects();
    return elements && !elements->empty();
}

/// Plain messages and bundles are written and shown here, without going through their virtual
/// operations; other kinds of packet (subclasses) keep their own.
const KXOSCMessage* asPlainMessage(const KXOSCPacket& packet) {
    return typeid(packet) == typeid(KXOSCMessage) ? static_cast<const KXOSCMessage*>(&packet)
                                                  : nullptr;
}
const KXOSCBundle* asPlainBundle(const KXOSCPacket& packet) {
    return typeid(packet) == typeid(KXOSCBundle) ? static_cast<const KXOSCBundle*>(&packet)
                                                 : nullptr;
}

/// A bundle being walked and the index of its next element.
struct Frame {
    const KXOSCBundle* bundle;
    std::size_t next;
};

void writeSize(std::uint8_t* field, std::size_t size) {
    const auto value = static_cast<std::uint32_t>(size);
    field[0] = static_cast<std::uint8_t>(value >> 24);
    field[1] = static_cast<std::uint8_t>(value >> 16);
    field[2] = static_cast<std::uint8_t>(value >> 8);
    field[3] = static_cast<std::uint8_t>(value);
}

std::uint8_t* writeHead(std::uint8_t* out, const KXOSCBundle& bundle) {
    std::memcpy(out, kMarker.data(), kMarker.size());
    const Data timeTag = KXOSCDataUtilities::ntpTimestampFromNSDate(bundle.timeStamp());
    std::memcpy(out + kMarker.size(), timeTag.bytes(), kHeadSize - kMarker.size());
    return out + kHeadSize;
}

void appendHead(std::string& text, const KXOSCBundle& bundle) {
    text += "BUNDLE:\ntime: ";
    text += bundle.timeStamp() ? bundle.timeStamp()->description() : std::string("(null)");
}

} // namespace

std::shared_ptr<KXOSCBundle> KXOSCBundle::bundleWithTimestamp(std::optional<Date> timeStamp) {
    auto bundle = std::make_shared<KXOSCBundle>();
    bundle->setTimeStamp(timeStamp);
    return bundle;
}

KXOSCBundle::~KXOSCBundle() {
    auto elements = takeAttachedObjects();
    if (!elements)
        return;
    ObjectList pending = std::move(*elements);
    while (!pending.empty()) {
        std::shared_ptr<KXOSCPacket> element = std::move(pending.back());
        pending.pop_back();
        KXOSCPacket& packet = *element;
        if (element.use_count() != 1 || typeid(packet) != typeid(KXOSCBundle))
            continue;
        // The last holder of a nested bundle: its elements join the work list before it goes.
        auto& inner = static_cast<KXOSCBundle&>(packet);
        if (auto innerElements = inner.takeAttachedObjects()) {
            try {
                pending.insert(pending.end(), std::make_move_iterator(innerElements->begin()),
                               std::make_move_iterator(innerElements->end()));
            } catch (const std::bad_alloc&) {
                // Out of memory: these few are released the recursive way instead.
            }
        }
    }
}

Data KXOSCBundle::packetizedData() const {
    if (!hasElements(*this))
        return Data();

    std::array<std::byte, kStackArena> arena;
    std::pmr::monotonic_buffer_resource resource(arena.data(), arena.size());
    std::pmr::vector<Frame> frames(&resource);
    // Elements of other kinds are encoded once, while measuring, and copied in when writing.
    std::pmr::vector<Data> foreign(&resource);

    // First pass: the total length, so that the datagram is written into one buffer.
    std::size_t total = kHeadSize;
    frames.push_back({this, 0});
    while (!frames.empty()) {
        Frame& frame = frames.back();
        const auto& elements = *frame.bundle->attachedObjects();
        if (frame.next == elements.size()) {
            frames.pop_back();
            continue;
        }
        const KXOSCPacket& element = *elements[frame.next++];
        total += kSizeFieldSize;
        if (const KXOSCMessage* message = asPlainMessage(element)) {
            total += message->encodedSize();
        } else if (const KXOSCBundle* bundle = asPlainBundle(element)) {
            if (hasElements(*bundle)) {
                total += kHeadSize;
                frames.push_back({bundle, 0});
            }
        } else {
            foreign.push_back(element.packetizedData());
            total += foreign.back().size();
        }
    }

    // Second pass: the same walk, writing. A nested bundle's size field is filled in once its
    // last element is written.
    return Data::withLength(total, [&](std::uint8_t* const first) {
        // Messages are written into zeroed bytes.
        std::memset(first, 0, total);
        std::pmr::vector<std::uint8_t*> openSizeFields(&resource);
        std::size_t nextForeign = 0;
        std::uint8_t* out = writeHead(first, *this);
        frames.push_back({this, 0});
        while (!frames.empty()) {
            Frame& frame = frames.back();
            const auto& elements = *frame.bundle->attachedObjects();
            if (frame.next == elements.size()) {
                frames.pop_back();
                if (!frames.empty()) {
                    std::uint8_t* field = openSizeFields.back();
                    openSizeFields.pop_back();
                    writeSize(field, static_cast<std::size_t>(out - field) - kSizeFieldSize);
                }
                continue;
            }
            const KXOSCPacket& element = *elements[frame.next++];
            std::uint8_t* const field = out;
            out += kSizeFieldSize;
            if (const KXOSCMessage* message = asPlainMessage(element)) {
                out = message->encodeInto(out);
            } else if (const KXOSCBundle* bundle = asPlainBundle(element)) {
                if (hasElements(*bundle)) {
                    openSizeFields.push_back(field);
                    out = writeHead(out, *bundle);
                    frames.push_back({bundle, 0});
                    continue;
                }
            } else {
                const Data& bytes = foreign[nextForeign++];
                if (bytes.size() > 0)
                    std::memcpy(out, bytes.bytes(), bytes.size());
                out += bytes.size();
            }
            writeSize(field, static_cast<std::size_t>(out - field) - kSizeFieldSize);
        }
    });
}

std::string KXOSCBundle::stringRepresentation() const {
    std::array<std::byte, kStackArena> arena;
    std::pmr::monotonic_buffer_resource resource(arena.data(), arena.size());
    std::pmr::vector<Frame> frames(&resource);

    std::string text;
    appendHead(text, *this);
    if (hasElements(*this))
        frames.push_back({this, 0});
    while (!frames.empty()) {
        Frame& frame = frames.back();
        const auto& elements = *frame.bundle->attachedObjects();
        if (frame.next == elements.size()) {
            frames.pop_back();
            continue;
        }
        const KXOSCPacket& element = *elements[frame.next++];
        text += "\n---\n";
        if (const KXOSCBundle* bundle = asPlainBundle(element)) {
            appendHead(text, *bundle);
            if (hasElements(*bundle))
                frames.push_back({bundle, 0});
        } else {
            text += element.stringRepresentation();
        }
    }
    return text;
}
