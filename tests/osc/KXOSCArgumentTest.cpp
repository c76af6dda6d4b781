#include "common/osc/KXOSCArgument.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using testing_support::bytes;
using Argument = std::shared_ptr<KXOSCArgument>;

constexpr std::int32_t kMinInt = std::numeric_limits<std::int32_t>::min();
constexpr float kFloatInfinity = std::numeric_limits<float>::infinity();

TEST(KXOSCArgument, FactoriesSetTypeBytesAndText) {
    struct Case {
        Argument argument;
        char type;
        const char* hex;
        std::string description;
    };
    for (const Case& c : std::vector<Case>{
             {KXOSCArgument::argumentWithInt(1), 'i', "00 00 00 01", "i { 1 }"},
             {KXOSCArgument::argumentWithInt(-7), 'i', "FF FF FF F9", "i { -7 }"},
             {KXOSCArgument::argumentWithFloat(0.5f), 'f', "3F 00 00 00", "f { 0.500000 }"},
             {KXOSCArgument::argumentWithFloat(-2.5f), 'f', "C0 20 00 00", "f { -2.500000 }"},
             {KXOSCArgument::argumentWithString("abcd"), 's', "61 62 63 64 00 00 00 00",
              "s { abcd }"},
             {KXOSCArgument::argumentWithString(""), 's', "00 00 00 00", "s {  }"},
             {KXOSCArgument::argumentWithString("caf\xC3\xA9"), 's', "00 00 00 00", "s {  }"},
             {KXOSCArgument::argumentWithDataBlob(Data::empty()), 'b', "00 00 00 00 00 00 00 00",
              "b { <> }"},
             {KXOSCArgument::argumentWithDataBlob(Data()), 'b', "00 00 00 00 00 00 00 00",
              "b { <> }"},
             {KXOSCArgument::argumentWithDataBlob(bytes("01 02 03 04")), 'b',
              "00 00 00 04 01 02 03 04 00 00 00 00", "b { <01020304> }"},
             {KXOSCArgument::argumentWithDataBlob(bytes("01 02 03 04 05")), 'b',
              "00 00 00 05 01 02 03 04 05 00 00 00", "b { <01020304 05> }"},
         }) {
        ASSERT_NE(c.argument, nullptr) << c.description;
        EXPECT_EQ(c.argument->type(), c.type) << c.description;
        EXPECT_EQ(c.argument->packetizedData(), bytes(c.hex)) << c.description;
        EXPECT_EQ(c.argument->description(), c.description);
    }
    EXPECT_EQ(KXOSCArgument::argumentWithString(std::nullopt), nullptr);
}

TEST(KXOSCArgument, ValueReadersDecodeTheStoredBytes) {
    EXPECT_EQ(KXOSCArgument::argumentWithString("abcd")->stringValue(), "abcd");
    EXPECT_EQ(KXOSCArgument::argumentWithString("caf\xC3\xA9")->stringValue(), "");
    EXPECT_EQ(KXOSCArgument::argumentWithDataBlob(bytes("01 02 03"))->dataBlobValue(),
              bytes("01 02 03"));
    const Data emptyBlob = KXOSCArgument::argumentWithDataBlob(Data())->dataBlobValue();
    EXPECT_FALSE(emptyBlob.isAbsent());
    EXPECT_EQ(emptyBlob.size(), 0u);
}

TEST(KXOSCArgument, IntValueGoesThroughTheNearestFloat) {
    struct Case {
        Argument argument;
        std::int32_t expected;
        const char* what;
    };
    for (const Case& c : std::vector<Case>{
             {KXOSCArgument::argumentWithInt(3), 3, "small int"},
             {KXOSCArgument::argumentWithInt(-16777216), -16777216, "-2^24 is exact"},
             {KXOSCArgument::argumentWithInt(16777217), 16777216, "2^24 + 1 ties to even"},
             {KXOSCArgument::argumentWithInt(16777219), 16777220, "2^24 + 3 ties to even"},
             {KXOSCArgument::argumentWithInt(2147483583), 2147483520, "rounds to 2^31 - 128"},
             {KXOSCArgument::argumentWithInt(2147483584), kMinInt, "ties up to 2^31"},
             {KXOSCArgument::argumentWithInt(2147483647), kMinInt, "2^31 - 1 becomes 2^31"},
             {KXOSCArgument::argumentWithInt(kMinInt), kMinInt, "-2^31 is exact"},
             {KXOSCArgument::argumentWithFloat(2.9f), 2, "fraction cut off"},
             {KXOSCArgument::argumentWithFloat(-2.9f), -2, "toward zero"},
             {KXOSCArgument::argumentWithFloat(0.5f), 0, "below one"},
             {KXOSCArgument::argumentWithFloat(std::bit_cast<float>(0x00000001u)), 0, "subnormal"},
             {KXOSCArgument::argumentWithFloat(2147483520.0f), 2147483520, "largest below 2^31"},
             {KXOSCArgument::argumentWithFloat(2147483648.0f), kMinInt, "2^31"},
             {KXOSCArgument::argumentWithFloat(-2147483648.0f), kMinInt, "-2^31 itself"},
             {KXOSCArgument::argumentWithFloat(-2147483904.0f), kMinInt, "next below -2^31"},
             {KXOSCArgument::argumentWithFloat(3.0e38f), kMinInt, "huge"},
             {KXOSCArgument::argumentWithFloat(kFloatInfinity), kMinInt, "+infinity"},
             {KXOSCArgument::argumentWithFloat(-kFloatInfinity), kMinInt, "-infinity"},
             {KXOSCArgument::argumentWithFloat(std::numeric_limits<float>::quiet_NaN()), kMinInt,
              "NaN"},
             {KXOSCArgument::argumentWithFloat(std::bit_cast<float>(0xFFA00001u)), kMinInt,
              "negative signalling NaN"},
             {KXOSCArgument::argumentWithString("12"), 0, "string"},
             {KXOSCArgument::argumentWithDataBlob(bytes("00 00 00 05")), 0, "blob"},
         }) {
        EXPECT_EQ(c.argument->intValue(), c.expected) << c.what;
    }
}

TEST(KXOSCArgument, FloatValueByType) {
    EXPECT_EQ(KXOSCArgument::argumentWithInt(3)->floatValue(), 3.0f);
    EXPECT_EQ(KXOSCArgument::argumentWithInt(16777217)->floatValue(), 16777216.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(KXOSCArgument::argumentWithFloat(-0.0f)->floatValue()),
              0x80000000u);
    for (const Argument& other : {KXOSCArgument::argumentWithString("abcd"),
                                  KXOSCArgument::argumentWithDataBlob(bytes("3F 80 00 00"))}) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(other->floatValue()), 0u) << other->description();
    }
}

TEST(KXOSCArgument, FloatDescriptionHasSixDigitsAfterThePoint) {
    struct Case {
        float value;
        const char* expected;
    };
    for (const Case& c : std::vector<Case>{
             {2.9f, "f { 2.900000 }"},
             {1234567.875f, "f { 1234567.875000 }"},
             {1e-7f, "f { 0.000000 }"},
             {-0.0f, "f { -0.000000 }"},
             {std::numeric_limits<float>::max(),
              "f { 340282346638528859811704183484516925440.000000 }"},
             {-kFloatInfinity, "f { -inf }"},
             {std::numeric_limits<float>::quiet_NaN(), "f { nan }"},
         }) {
        EXPECT_EQ(KXOSCArgument::argumentWithFloat(c.value)->description(), c.expected);
    }
    // An "i" argument is shown through the float too.
    EXPECT_EQ(KXOSCArgument::argumentWithInt(2147483647)->description(), "i { -2147483648 }");
}

TEST(KXOSCArgument, StringAndBlobReadersIgnoreTheType) {
    const auto argument = KXOSCArgument::argumentWithInt(0);
    EXPECT_EQ(argument->dataBlobValue(), Data::empty());
    argument->setData(bytes("61 62 00 00"));
    EXPECT_EQ(argument->type(), 'i');
    EXPECT_EQ(argument->stringValue(), "ab");
}

TEST(KXOSCArgument, ValueSettersReplaceTypeAndBytesTogether) {
    const auto argument = KXOSCArgument::argumentWithString("a long text of many bytes");
    argument->setIntValue(5);
    EXPECT_EQ(argument->type(), 'i');
    EXPECT_EQ(argument->packetizedData(), bytes("00 00 00 05"));
    argument->setFloatValue(1.0f);
    EXPECT_EQ(argument->type(), 'f');
    EXPECT_EQ(argument->packetizedData(), bytes("3F 80 00 00"));
    argument->setDataBlobValue(bytes("AA"));
    EXPECT_EQ(argument->type(), 'b');
    EXPECT_EQ(argument->packetizedData(), bytes("00 00 00 01 AA 00 00 00"));
    argument->setStringValue("ab");
    EXPECT_EQ(argument->type(), 's');
    EXPECT_EQ(argument->packetizedData(), bytes("61 62 00 00"));
}

TEST(KXOSCArgument, UnknownTypeHasNoValueButKeepsItsBytes) {
    const auto argument = KXOSCArgument::argumentWithFloat(1.0f);
    const Data before = argument->packetizedData();
    argument->setType('x');
    EXPECT_EQ(argument->description(), "no arg value");
    EXPECT_EQ(argument->floatValue(), 0.0f);
    EXPECT_EQ(argument->intValue(), 0);
    EXPECT_EQ(argument->packetizedData(), before);

    const KXOSCArgument untouched{};
    EXPECT_EQ(untouched.type(), 0);
    EXPECT_TRUE(untouched.packetizedData().isAbsent());
    EXPECT_EQ(untouched.description(), "no arg value");
    EXPECT_EQ(untouched.intValue(), 0);
    EXPECT_TRUE(untouched.dataBlobValue().isAbsent());
}

TEST(KXOSCArgument, KeepsTheGivenBufferWithoutCopying) {
    const Data large = KXOSCArgument::argumentWithString("more than sixteen bytes")->data();
    KXOSCArgument argument;
    argument.setData(large);
    EXPECT_EQ(argument.packetizedData().bytes(), large.bytes());
    EXPECT_EQ(&argument.packetizedData(), &argument.data());
}

TEST(KXOSCArgument, DescriptionOfBytesThatHoldNoValueIsNull) {
    struct Case {
        char type;
        const char* hex;
        const char* expected;
    };
    for (const Case& c : std::vector<Case>{
             {'s', "61 E9 00 00", "s { (null) }"},
             {'b', "00 00 00 09 01 02", "b { (null) }"},
             {'b', "FF FF FF FE", "b { (null) }"},
         }) {
        KXOSCArgument argument;
        argument.setType(c.type);
        argument.setData(bytes(c.hex));
        EXPECT_EQ(argument.description(), c.expected) << c.hex;
    }
    KXOSCArgument negativeSize;
    negativeSize.setData(bytes("FF FF FF FE"));
    EXPECT_THROW(negativeSize.dataBlobValue(), DataRangeError);
}

} // namespace
