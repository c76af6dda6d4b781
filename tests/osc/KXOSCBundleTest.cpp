#include "common/osc/KXOSCBundle.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/osc/KXOSCMessage.h"
#include "support/Bytes.h"

namespace {

using testing_support::bytes;

constexpr const char* kMessageHex = "2F 61 00 00 2C 69 00 00 00 00 00 01";
constexpr const char* kMessageText = "MESSAGE:\naddress:/a\n types:,i\ni { 1 }";

std::shared_ptr<KXOSCMessage> messageA1() {
    auto message = KXOSCMessage::messageWithKXOSCAddress(KXOSCAddress::addressWithString("/a"));
    message->attachArgument(KXOSCArgument::argumentWithInt(1));
    return message;
}

std::shared_ptr<KXOSCBundle> bundleAt(double seconds) {
    return KXOSCBundle::bundleWithTimestamp(Date(seconds));
}

/// A packet kind of a library user: the bundle must ask it for its own bytes and text.
class CustomPacket : public KXOSCPacket {
public:
    Data packetizedData() const override { return bytes("01 02 03 04"); }
    std::string stringRepresentation() const override { return "custom"; }
};

TEST(KXOSCBundle, WithoutElementsGivesNoBuffer) {
    const KXOSCBundle plain;
    EXPECT_FALSE(plain.timeStamp().has_value());
    EXPECT_TRUE(plain.packetizedData().isAbsent());
    EXPECT_EQ(plain.stringRepresentation(), "BUNDLE:\ntime: (null)");

    auto stamped = bundleAt(0);
    stamped->attachObjects({});
    ASSERT_TRUE(stamped->attachedObjects().has_value());
    EXPECT_TRUE(stamped->packetizedData().isAbsent());
    EXPECT_EQ(stamped->stringRepresentation(), "BUNDLE:\ntime: 2001-01-01 00:00:00 +0000");
}

TEST(KXOSCBundle, BytesAndTextFollowTheLayout) {
    auto single = bundleAt(0);
    single->attachObject(messageA1());

    auto holdingEmpty = bundleAt(0);
    holdingEmpty->attachObject(std::make_shared<KXOSCBundle>());

    auto immediate = KXOSCBundle::bundleWithTimestamp(Date::distantPast());
    immediate->attachObject(messageA1());

    auto unstamped = std::make_shared<KXOSCBundle>();
    unstamped->attachObject(messageA1());

    auto inner = bundleAt(1.5);
    inner->attachObject(messageA1());
    auto outer = bundleAt(-1.25);
    outer->attachObject(inner);
    outer->attachObject(messageA1());

    struct Case {
        std::shared_ptr<KXOSCBundle> bundle;
        std::string hex;
        std::string text;
    };
    const std::string head = "23 62 75 6E 64 6C 65 00 ";
    for (const Case& c : {
             Case{single, head + "5C 00 00 00 00 00 00 00 00 00 00 0C " + kMessageHex,
                  std::string("BUNDLE:\ntime: 2001-01-01 00:00:00 +0000\n---\n") + kMessageText},
             // A nested bundle without elements is a size field of 0 and nothing else.
             Case{holdingEmpty, head + "5C 00 00 00 00 00 00 00 00 00 00 00",
                  "BUNDLE:\ntime: 2001-01-01 00:00:00 +0000\n---\nBUNDLE:\ntime: (null)"},
             // The distant past is written as the immediate time tag.
             Case{immediate, head + "00 00 00 00 00 00 00 01 00 00 00 0C " + kMessageHex,
                  "BUNDLE:\ntime: " + Date::distantPast().description() + "\n---\n" + kMessageText},
             // No time stamp is written as the reference date.
             Case{unstamped, head + "5C 00 00 00 00 00 00 00 00 00 00 0C " + kMessageHex,
                  std::string("BUNDLE:\ntime: (null)\n---\n") + kMessageText},
             // The inner bundle's complete bytes stand after one size field; its text stands
             // inline with the same separators.
             Case{outer,
                  head + "5B FF FF FF C0 00 00 00 00 00 00 20 " + head +
                      "5C 00 00 01 80 00 00 00 00 00 00 0C " + kMessageHex + " 00 00 00 0C " +
                      kMessageHex,
                  std::string("BUNDLE:\ntime: 2000-12-31 23:59:58 +0000\n---\n"
                              "BUNDLE:\ntime: 2001-01-01 00:00:01 +0000\n---\n") +
                      kMessageText + "\n---\n" + kMessageText},
         }) {
        EXPECT_EQ(c.bundle->packetizedData(), bytes(c.hex)) << c.text;
        EXPECT_EQ(c.bundle->stringRepresentation(), c.text);
    }
}

TEST(KXOSCBundle, OneMessageMayStandInSeveralBundles) {
    const auto message = messageA1();
    auto first = bundleAt(0);
    auto second = bundleAt(0);
    first->attachObject(message);
    second->attachObject(message);
    second->attachObject(message);
    EXPECT_EQ(first->packetizedData().size(), 32u);
    EXPECT_EQ(second->packetizedData().size(), 48u);
    first.reset();
    second.reset();
    EXPECT_EQ(message.use_count(), 1);
    EXPECT_EQ(message->packetizedData(), bytes(kMessageHex));
}

TEST(KXOSCBundle, OtherPacketKindsAreAskedForTheirOwnBytesAndText) {
    auto inner = bundleAt(0);
    inner->attachObject(std::make_shared<CustomPacket>());
    inner->attachObject(std::make_shared<KXOSCPacket>());
    auto outer = bundleAt(0);
    outer->attachObject(inner);
    EXPECT_EQ(outer->packetizedData(), bytes("23 62 75 6E 64 6C 65 00 5C 00 00 00 00 00 00 00 "
                                             "00 00 00 1C 23 62 75 6E 64 6C 65 00 "
                                             "5C 00 00 00 00 00 00 00 00 00 00 04 01 02 03 04 "
                                             "00 00 00 00"));
    EXPECT_EQ(outer->stringRepresentation(),
              "BUNDLE:\ntime: 2001-01-01 00:00:00 +0000\n---\n"
              "BUNDLE:\ntime: 2001-01-01 00:00:00 +0000\n---\ncustom\n---\n"
              "abstract parent class: KXOSCPacket");
}

TEST(KXOSCBundle, DestroyingABundleKeepsElementsHeldElsewhere) {
    auto shared = bundleAt(0);
    shared->attachObject(messageA1());
    auto middle = bundleAt(0);
    middle->attachObject(shared);
    auto outer = bundleAt(0);
    outer->attachObject(middle);
    outer.reset();
    middle.reset();
    ASSERT_TRUE(shared->attachedObjects().has_value());
    ASSERT_EQ(shared->attachedObjects()->size(), 1u);
    EXPECT_EQ(shared->attachedObjects()->front()->packetizedData(), bytes(kMessageHex));
}

} // namespace
