#include "common/osc/KXOSCMessage.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using testing_support::bytes;
using Arguments = KXOSCMessage::ObjectList;

std::shared_ptr<KXOSCMessage> messageTo(const char* address) {
    return KXOSCMessage::messageWithKXOSCAddress(KXOSCAddress::addressWithString(address));
}

std::shared_ptr<KXOSCMessage> messageWith(const char* address, const Arguments& arguments) {
    auto message = messageTo(address);
    message->attachArguments(arguments);
    return message;
}

TEST(KXOSCMessage, BytesTypeTagsAndTextFollowTheLayout) {
    struct Case {
        std::shared_ptr<KXOSCMessage> message;
        const char* typeTags;
        const char* hex;
        const char* text;
    };
    const std::vector<Case> cases = {
        {messageTo("/a"), ",", "2F 61 00 00 2C 00 00 00", "MESSAGE:\naddress:/a\n types:,"},
        {messageWith("/a", {KXOSCArgument::argumentWithInt(1)}), ",i",
         "2F 61 00 00 2C 69 00 00 00 00 00 01", "MESSAGE:\naddress:/a\n types:,i\ni { 1 }"},
        // Type tag text of 3 characters: one zero byte; of 4: four.
        {messageWith("/ab",
                     {KXOSCArgument::argumentWithInt(-1), KXOSCArgument::argumentWithFloat(1.0f)}),
         ",if", "2F 61 62 00 2C 69 66 00 FF FF FF FF 3F 80 00 00",
         "MESSAGE:\naddress:/ab\n types:,if\ni { -1 }\nf { 1.000000 }"},
        {messageWith("/abc",
                     {KXOSCArgument::argumentWithString("hello"),
                      KXOSCArgument::argumentWithInt(42), KXOSCArgument::argumentWithFloat(1.5f)}),
         ",sif",
         "2F 61 62 63 00 00 00 00 2C 73 69 66 00 00 00 00 68 65 6C 6C 6F 00 00 00 00 00 00 2A "
         "3F C0 00 00",
         "MESSAGE:\naddress:/abc\n types:,sif\ns { hello }\ni { 42 }\nf { 1.500000 }"},
        {messageWith("/x",
                     {KXOSCArgument::argumentWithString("s"), KXOSCArgument::argumentWithInt(2),
                      KXOSCArgument::argumentWithFloat(0.5f),
                      KXOSCArgument::argumentWithDataBlob(bytes("AA BB CC"))}),
         ",sifb",
         "2F 78 00 00 2C 73 69 66 62 00 00 00 73 00 00 00 00 00 00 02 3F 00 00 00 "
         "00 00 00 03 AA BB CC 00",
         "MESSAGE:\naddress:/x\n types:,sifb\ns { s }\ni { 2 }\nf { 0.500000 }\nb { <aabbcc> }"},
        // Text without an ASCII form is written as the empty string; the address need not
        // begin with "/".
        {messageTo("caf\xC3\xA9"), ",", "00 00 00 00 2C 00 00 00",
         "MESSAGE:\naddress:caf\xC3\xA9\n types:,"},
        {messageTo(""), ",", "00 00 00 00 2C 00 00 00", "MESSAGE:\naddress:\n types:,"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.message->typeTagString(), c.typeTags) << c.text;
        EXPECT_EQ(c.message->packetizedData(), bytes(c.hex)) << c.text;
        EXPECT_EQ(c.message->stringRepresentation(), c.text);
    }
}

TEST(KXOSCMessage, NoAddressGivesNoMessage) {
    EXPECT_EQ(KXOSCMessage::messageWithKXOSCAddress(nullptr), nullptr);
}

TEST(KXOSCMessage, ArgumentListIsAbsentUntilTheFirstAttach) {
    auto ignored = messageTo("/a");
    ignored->attachArgument(nullptr);
    EXPECT_FALSE(ignored->attachedObjects().has_value());

    auto empty = messageTo("/a");
    empty->attachArguments(Arguments{});
    ASSERT_TRUE(empty->attachedObjects().has_value());
    EXPECT_TRUE(empty->attachedObjects()->empty());

    EXPECT_EQ(ignored->packetizedData(), empty->packetizedData());
    EXPECT_EQ(ignored->stringRepresentation(), empty->stringRepresentation());
}

TEST(KXOSCMessage, ArgumentsAreAppendedInOrderAndNullEntriesLeftOut) {
    auto message = messageTo("/a");
    const auto one = KXOSCArgument::argumentWithInt(1);
    const auto two = KXOSCArgument::argumentWithInt(2);
    message->attachArgument(one);
    message->attachArguments(Arguments{nullptr, two});
    message->attachArguments(Arguments{one, nullptr});
    ASSERT_TRUE(message->attachedObjects().has_value());
    EXPECT_EQ(*message->attachedObjects(), (Arguments{one, two, one}));
    EXPECT_EQ(message->typeTagString(), ",iii");
}

TEST(KXOSCMessage, EncodingReflectsTheContentsAtTheTimeOfTheCall) {
    auto message = messageTo("/a");
    const Data before = message->packetizedData();
    message->attachArgument(KXOSCArgument::argumentWithInt(1));
    EXPECT_EQ(before, bytes("2F 61 00 00 2C 00 00 00"));
    EXPECT_EQ(message->packetizedData(), bytes("2F 61 00 00 2C 69 00 00 00 00 00 01"));
    message->setAddress(KXOSCAddress::addressWithString("/b"));
    EXPECT_EQ(message->packetizedData(), bytes("2F 62 00 00 2C 69 00 00 00 00 00 01"));
}

TEST(KXOSCMessage, ArgumentsChangedByHandAreWrittenAsTheyStand) {
    auto argument = KXOSCArgument::argumentWithInt(7);
    auto message = messageWith("/a", {argument});
    // A type character without an ASCII form leaves the type tag string as four zero bytes.
    argument->setType(static_cast<char>(0xE9));
    EXPECT_EQ(message->packetizedData(), bytes("2F 61 00 00 00 00 00 00 00 00 00 07"));
    argument->setType('x');
    argument->setData(Data());
    EXPECT_EQ(message->packetizedData(), bytes("2F 61 00 00 2C 78 00 00"));
    EXPECT_EQ(message->stringRepresentation(), "MESSAGE:\naddress:/a\n types:,x\nno arg value");
}

TEST(KXOSCMessage, MissingAddressIsWrittenAsTheEmptyAddress) {
    auto message = messageWith("/a", {KXOSCArgument::argumentWithInt(1)});
    message->setAddress(nullptr);
    EXPECT_EQ(message->packetizedData(), bytes("00 00 00 00 2C 69 00 00 00 00 00 01"));
    EXPECT_EQ(message->stringRepresentation(), "MESSAGE:\naddress:\n types:,i\ni { 1 }");
}

TEST(KXOSCPacket, BaseGivesNoBufferAndItsOwnText) {
    const KXOSCPacket packet;
    EXPECT_TRUE(packet.packetizedData().isAbsent());
    EXPECT_EQ(packet.stringRepresentation(), "abstract parent class: KXOSCPacket");
}

} // namespace
