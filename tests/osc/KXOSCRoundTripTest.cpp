// Seeded property test: packets written, read and written again.
#include "common/osc/KXOSCDecoder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/osc/KXOSCDataUtilities.h"
#include "support/Bytes.h"

namespace {

/// Random messages and bundles within what the format carries: ASCII text without zero
/// characters (an address not beginning with "#"), every int32, every float32 bit pattern, blobs of
/// 0 to 9 bytes and of multiples of 4, nested bundles (also without elements), and every kind of
/// time stamp.
class PacketGenerator {
public:
    explicit PacketGenerator(std::uint32_t seed) : random_(seed) {}

    std::shared_ptr<KXOSCPacket> packet() {
        if (chance(2))
            return message();
        return bundle(3);
    }

private:
    int between(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random_);
    }
    bool chance(int oneIn) { return between(1, oneIn) == 1; }

    std::string text() {
        std::string text(static_cast<std::size_t>(between(0, 9)), ' ');
        for (char& character : text)
            character = static_cast<char>(between(1, 0x7F));
        return text;
    }

    Data payload() {
        static constexpr int kLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 16, 20, 64};
        std::vector<std::uint8_t> bytes(
            static_cast<std::size_t>(kLengths[between(0, std::size(kLengths) - 1)]));
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(between(0, 255));
        return Data::copyOf(bytes);
    }

    std::shared_ptr<KXOSCArgument> argument() {
        switch (between(0, 3)) {
        case 0:
            return KXOSCArgument::argumentWithString(text());
        case 1:
            return KXOSCArgument::argumentWithInt(static_cast<std::int32_t>(random_()));
        case 2:
            return KXOSCArgument::argumentWithFloat(
                std::bit_cast<float>(static_cast<std::uint32_t>(random_())));
        default:
            return KXOSCArgument::argumentWithDataBlob(payload());
        }
    }

    std::shared_ptr<KXOSCMessage> message() {
        // A datagram or element whose first byte is "#" is read as a bundle, so an address
        // cannot begin with it; it need not begin with "/".
        std::string address = (chance(4) ? "" : "/") + text();
        if (!address.empty() && address.front() == '#')
            address.front() = '/';
        auto message =
            KXOSCMessage::messageWithKXOSCAddress(KXOSCAddress::addressWithString(address));
        KXOSCMessage::ObjectList arguments;
        for (int i = between(0, 5); i > 0; --i)
            arguments.push_back(argument());
        message->attachArguments(arguments);
        return message;
    }

    std::optional<Date> timeStamp() {
        switch (between(0, 3)) {
        case 0:
            return std::nullopt;
        case 1:
            return Date::distantPast();
        case 2:
            return Date(between(-2000000000, 2000000000));
        default:
            return Date(std::uniform_real_distribution<double>(-4e9, 4e9)(random_));
        }
    }

    std::shared_ptr<KXOSCBundle> bundle(int depth) {
        auto bundle = KXOSCBundle::bundleWithTimestamp(timeStamp());
        for (int i = between(0, 4); i > 0; --i) {
            if (depth > 0 && chance(3))
                bundle->attachObject(this->bundle(depth - 1));
            else
                bundle->attachObject(message());
        }
        return bundle;
    }

    std::mt19937 random_;
};

bool isBundleWithoutElements(const KXOSCPacket& packet) {
    const auto* bundle = dynamic_cast<const KXOSCBundle*>(&packet);
    return bundle != nullptr && !(bundle->attachedObjects() && !bundle->attachedObjects()->empty());
}

/// The packet as it is read back from its own bytes: time stamps as their time tags read,
/// and elements that write no bytes (bundles without elements) left out.
std::shared_ptr<KXOSCPacket> asReadBack(const std::shared_ptr<KXOSCPacket>& packet) {
    const auto bundle = std::dynamic_pointer_cast<KXOSCBundle>(packet);
    if (bundle == nullptr)
        return packet;
    auto copy = std::make_shared<KXOSCBundle>();
    copy->setTimeStamp(KXOSCDataUtilities::dateFromNTPTimestamp(
        KXOSCDataUtilities::ntpTimestampFromNSDate(bundle->timeStamp())));
    if (const auto& elements = bundle->attachedObjects())
        for (const auto& element : *elements)
            if (!isBundleWithoutElements(*element))
                copy->attachObject(asReadBack(element));
    return copy;
}

TEST(KXOSCRoundTrip, PacketsReadBackAsWrittenButForTimeTagsAndEmptyBundles) {
    PacketGenerator generator(20261211);
    for (int i = 0; i < 3000; ++i) {
        const auto packet = generator.packet();
        const Data written = packet->packetizedData();
        SCOPED_TRACE(packet->stringRepresentation());
        if (written.isAbsent()) {
            EXPECT_TRUE(isBundleWithoutElements(*packet));
            continue;
        }
        const auto read = KXOSCDecoder::decodeData(written);
        ASSERT_NE(read, nullptr) << written.description();
        const auto expected = asReadBack(packet);
        EXPECT_EQ(read->stringRepresentation(), expected->stringRepresentation());
        EXPECT_EQ(read->packetizedData(), expected->packetizedData());
    }
}

} // namespace
