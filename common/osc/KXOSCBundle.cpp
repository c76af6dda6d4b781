#include "common/osc/KXOSCBundle.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <typeinfo>
#include <vector>

#include "common/osc/KXOSCDataUtilities.h"
#include "common/osc/KXOSCMessage.h"
#include "common/osc/KXOSCWorkStack.h"

namespace {

/// "#bundle" as a string block.
constexpr std::array<std::uint8_t, 8> kMarker = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};
/// The marker and the time tag.
constexpr std::size_t kHeadSize = 16;
constexpr std::size_t kSizeFieldSize = 4;
/// Nesting depths and numbers of elements that the walks keep in place.
constexpr std::size_t kFramesInPlace = 16;
constexpr std::size_t kMessagesInPlace = 16;
constexpr std::size_t kForeignInPlace = 4;

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

/// Walks the elements of a bundle that has some, depth first and in order, with a work stack
/// instead of recursion. `element(packet)` is called for each element and returns the bundle to
/// descend into next, or none; only a bundle with elements may be returned. `bundleEnd()` is
/// called after the last element of each bundle descended into.
template <typename Element, typename BundleEnd>
void walkElements(const KXOSCBundle& bundle, Element&& element, BundleEnd&& bundleEnd) {
    struct Frame {
        const KXOSCBundle* bundle;
        std::size_t next;
    };
    KXOSCWorkStack<Frame, kFramesInPlace> frames;
    frames.push_back({&bundle, 0});
    while (!frames.empty()) {
        Frame& frame = frames.back();
        const auto& elements = *frame.bundle->attachedObjects();
        if (frame.next == elements.size()) {
            frames.pop_back();
            if (!frames.empty())
                bundleEnd();
            continue;
        }
        if (const KXOSCBundle* nested = element(*elements[frame.next++]))
            frames.push_back({nested, 0});
    }
}

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
        // Messages, the usual elements, hold no packets; telling them apart first is the
        // cheaper test, as unequal types are compared by name.
        if (element.use_count() != 1 || asPlainMessage(packet) != nullptr ||
            typeid(packet) != typeid(KXOSCBundle))
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

    // Messages are measured once, and elements of other kinds encoded once, while measuring;
    // both are used again when writing.
    KXOSCWorkStack<KXOSCMessage::Layout, kMessagesInPlace> layouts;
    KXOSCWorkStack<Data, kForeignInPlace> foreign;

    // First pass: the total length, so that the datagram is written into one buffer.
    std::size_t total = kHeadSize;
    walkElements(
        *this,
        [&](const KXOSCPacket& element) -> const KXOSCBundle* {
            total += kSizeFieldSize;
            if (const KXOSCMessage* message = asPlainMessage(element)) {
                layouts.push_back(message->layout());
                total += layouts.back().size;
            } else if (const KXOSCBundle* bundle = asPlainBundle(element)) {
                if (hasElements(*bundle)) {
                    total += kHeadSize;
                    return bundle;
                }
            } else {
                foreign.push_back(element.packetizedData());
                total += foreign.back().size();
            }
            return nullptr;
        },
        [] {});

    // Second pass: the same walk, writing. A nested bundle's size field is filled in once its
    // last element is written.
    return Data::withLength(total, [&](std::uint8_t* const first) {
        KXOSCWorkStack<std::uint8_t*, kFramesInPlace> openSizeFields;
        std::size_t nextLayout = 0;
        std::size_t nextForeign = 0;
        std::uint8_t* out = writeHead(first, *this);
        walkElements(
            *this,
            [&](const KXOSCPacket& element) -> const KXOSCBundle* {
                std::uint8_t* const field = out;
                out += kSizeFieldSize;
                if (const KXOSCMessage* message = asPlainMessage(element)) {
                    out = message->encodeInto(layouts[nextLayout++], out);
                } else if (const KXOSCBundle* bundle = asPlainBundle(element)) {
                    if (hasElements(*bundle)) {
                        openSizeFields.push_back(field);
                        out = writeHead(out, *bundle);
                        return bundle;
                    }
                } else {
                    const Data& bytes = foreign[nextForeign++];
                    if (bytes.size() > 0)
                        std::memcpy(out, bytes.bytes(), bytes.size());
                    out += bytes.size();
                }
                writeSize(field, static_cast<std::size_t>(out - field) - kSizeFieldSize);
                return nullptr;
            },
            [&] {
                std::uint8_t* const field = openSizeFields.back();
                openSizeFields.pop_back();
                writeSize(field, static_cast<std::size_t>(out - field) - kSizeFieldSize);
            });
    });
}

std::string KXOSCBundle::stringRepresentation() const {
    std::string text;
    appendHead(text, *this);
    if (!hasElements(*this))
        return text;
    walkElements(
        *this,
        [&](const KXOSCPacket& element) -> const KXOSCBundle* {
            text += "\n---\n";
            if (const KXOSCBundle* bundle = asPlainBundle(element)) {
                appendHead(text, *bundle);
                return hasElements(*bundle) ? bundle : nullptr;
            }
            text += element.stringRepresentation();
            return nullptr;
        },
        [] {});
    return text;
}
