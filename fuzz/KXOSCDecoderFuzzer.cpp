// Decodes arbitrary bytes. Whatever decodes must render its text and be written again to bytes
// that read back as the same packet: writing, reading and writing once more gives the first
// bytes, less the elements that write no bytes (bundles without elements).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/osc/KXOSCDecoder.h"

namespace {

bool hasElements(const KXOSCBundle& bundle) {
    return bundle.attachedObjects() && !bundle.attachedObjects()->empty();
}

/// The packet as reading its own bytes gives it back: elements that are bundles without
/// elements are left out, as they are written as a size field of 0 and skipped when read.
std::shared_ptr<KXOSCPacket> asReadBack(const std::shared_ptr<KXOSCPacket>& packet) {
    const auto bundle = std::dynamic_pointer_cast<KXOSCBundle>(packet);
    if (bundle == nullptr)
        return packet;
    auto copy = KXOSCBundle::bundleWithTimestamp(bundle->timeStamp());
    if (hasElements(*bundle))
        for (const auto& element : *bundle->attachedObjects()) {
            const auto inner = std::dynamic_pointer_cast<KXOSCBundle>(element);
            if (inner == nullptr || hasElements(*inner))
                copy->attachObject(asReadBack(element));
        }
    return copy;
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "decoder fuzzer: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto packet = KXOSCDecoder::decodeData(Data::copyOf({data, size}));
    if (packet == nullptr)
        return 0;
    check(!packet->stringRepresentation().empty(), "empty text");
    const Data written = packet->packetizedData();
    if (written.isAbsent()) {
        const auto bundle = std::dynamic_pointer_cast<KXOSCBundle>(packet);
        check(bundle != nullptr && !hasElements(*bundle), "a packet with content wrote nothing");
        return 0;
    }
    const auto reread = KXOSCDecoder::decodeData(written);
    check(reread != nullptr, "the decoder's own output does not decode");
    check(reread->packetizedData() == asReadBack(packet)->packetizedData(),
          "written again, the packet's bytes changed");
    return 0;
}
