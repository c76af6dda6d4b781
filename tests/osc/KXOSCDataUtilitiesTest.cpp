#include "common/osc/KXOSCDataUtilities.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using testing_support::bytes;
using KX = KXOSCDataUtilities;

constexpr double kTwo31 = 2147483648.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

Data sequence(std::size_t length, std::uint8_t first = 1) {
    std::vector<std::uint8_t> values(length);
    for (std::size_t i = 0; i < length; ++i)
        values[i] = static_cast<std::uint8_t>(first + i);
    return Data::copyOf(values);
}

TEST(KXOSCDataUtilities, IntegerBlocksAreBigEndianAndReadBack) {
    struct Case {
        std::int64_t value;
        const char* hex;
    };
    for (const Case& c : std::vector<Case>{{0, "00 00 00 00"},
                                           {1, "00 00 00 01"},
                                           {-1, "FF FF FF FF"},
                                           {0x12345678, "12 34 56 78"},
                                           {2147483647, "7F FF FF FF"},
                                           {-2147483648, "80 00 00 00"}}) {
        const auto value = static_cast<std::int32_t>(c.value);
        const auto unsignedValue = static_cast<std::uint32_t>(value);
        EXPECT_EQ(KX::dataBlockFromInt(value), bytes(c.hex)) << c.value;
        EXPECT_EQ(KX::dataBlockFromUInt(unsignedValue), bytes(c.hex)) << c.value;
        EXPECT_EQ(KX::intFromDataBlock(bytes(c.hex)), value) << c.hex;
        EXPECT_EQ(KX::uIntFromDataBlock(bytes(c.hex)), unsignedValue) << c.hex;
    }
    EXPECT_EQ(KX::uIntFromDataBlock(bytes("FF FF FF FF")), 4294967295u);
}

TEST(KXOSCDataUtilities, NumberReadersUseTheFirstFourBytesOrGiveZero) {
    struct Case {
        Data block;
        std::int32_t expected;
    };
    for (const Case& c : std::vector<Case>{
             {bytes("00 00 00 05 FF"), 5}, {bytes("00 00 05"), 0}, {bytes(""), 0}, {Data(), 0}}) {
        EXPECT_EQ(KX::intFromDataBlock(c.block), c.expected) << c.block.description();
        EXPECT_EQ(KX::uIntFromDataBlock(c.block), static_cast<std::uint32_t>(c.expected));
    }
    EXPECT_EQ(KX::floatFromDataBlock(bytes("3F 80 00 00")), 1.0f);
    EXPECT_EQ(KX::floatFromDataBlock(bytes("C0 20 00 00 01")), -2.5f);
    for (const Data& shortBlock : {bytes("3F 80"), bytes(""), Data()}) {
        const float value = KX::floatFromDataBlock(shortBlock);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(value), 0u) << "must be +0.0, not -0.0";
    }
}

TEST(KXOSCDataUtilities, FloatBitPatternsAreCarriedExactly) {
    struct Case {
        std::uint32_t bits;
        const char* hex;
        const char* what;
    };
    for (const Case& c : std::vector<Case>{
             {0x3F800000, "3F 80 00 00", "1.0"},
             {0xC0200000, "C0 20 00 00", "-2.5"},
             {0x00000000, "00 00 00 00", "+0"},
             {0x80000000, "80 00 00 00", "-0"},
             {0x7F800000, "7F 80 00 00", "+infinity"},
             {0xFF800000, "FF 80 00 00", "-infinity"},
             {0x00000001, "00 00 00 01", "smallest subnormal"},
             {0x807FFFFF, "80 7F FF FF", "largest negative subnormal"},
             {0x7F7FFFFF, "7F 7F FF FF", "largest finite"},
             {0x7FC00000, "7F C0 00 00", "quiet NaN"},
             {0xFFC12345, "FF C1 23 45", "negative quiet NaN with payload"},
             {0x7FA00001, "7F A0 00 01", "signalling NaN with payload"},
         }) {
        EXPECT_EQ(KX::dataBlockFromFloat(std::bit_cast<float>(c.bits)), bytes(c.hex)) << c.what;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(KX::floatFromDataBlock(bytes(c.hex))), c.bits)
            << c.what;
    }
}

TEST(KXOSCDataUtilities, StringBlocksAreAsciiThenOneToFourZeros) {
    struct Case {
        std::optional<std::string> text;
        const char* hex;
    };
    using namespace std::string_literals;
    for (const Case& c : std::vector<Case>{
             {""s, "00 00 00 00"},
             {"a"s, "61 00 00 00"},
             {"abc"s, "61 62 63 00"},
             {"abcd"s, "61 62 63 64 00 00 00 00"},
             {"abcde"s, "61 62 63 64 65 00 00 00"},
             {"a\0b"s, "61 00 62 00"},
             {"\x7F"s, "7F 00 00 00"},
             {"/abcdefghijklmnop"s, "2F 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 00 00 00"},
             {"caf\xC3\xA9"s, "00 00 00 00"},
             {"\x80"s, "00 00 00 00"},
             {std::nullopt, "00 00 00 00"},
         }) {
        const std::optional<std::string_view> view =
            c.text ? std::optional<std::string_view>(*c.text) : std::nullopt;
        EXPECT_EQ(KX::dataBlockFromString(view), bytes(c.hex)) << c.text.value_or("(no string)");
    }
}

TEST(KXOSCDataUtilities, StringReaderTrimsZerosAtBothEndsAndRejectsNonAscii) {
    struct Case {
        Data block;
        std::optional<std::string> expected;
    };
    using namespace std::string_literals;
    for (const Case& c : std::vector<Case>{
             {bytes("61 62 00 00"), "ab"s},
             {bytes("00 61 62 00"), "ab"s},
             {bytes("61 62"), "ab"s},
             {bytes("61 00 62 00"), "a\0b"s},
             {bytes("00 00 00 00"), ""s},
             {bytes(""), ""s},
             {Data(), ""s},
             {bytes("7F 00 00 00"), "\x7F"s},
             {bytes("61 E9 00 00"), std::nullopt},
             {bytes("00 00 80 00"), std::nullopt},
         }) {
        EXPECT_EQ(KX::stringFromDataBlock(c.block), c.expected) << c.block.description();
    }
}

TEST(KXOSCDataUtilities, PaddingAlwaysAddsOneToFourZeros) {
    for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 16u, 17u, 100u}) {
        const Data source = sequence(length);
        const Data padded = KX::paddedDataFromData(source);
        const std::size_t pad = 4 - length % 4;
        ASSERT_EQ(padded.size(), length + pad) << length;
        EXPECT_EQ(padded.subdata(0, length), source) << length;
        EXPECT_EQ(padded.subdataFrom(length), Data::copyOf(std::vector<std::uint8_t>(pad, 0)))
            << length;
    }
    EXPECT_EQ(KX::paddedDataFromData(Data()), bytes("00 00 00 00"));
}

TEST(KXOSCDataUtilities, BlobBlocksOfSizesZeroToFive) {
    struct Case {
        std::size_t size;
        const char* hex;
    };
    for (const Case& c : std::vector<Case>{
             {0, "00 00 00 00  00 00 00 00"},
             {1, "00 00 00 01  01 00 00 00"},
             {2, "00 00 00 02  01 02 00 00"},
             {3, "00 00 00 03  01 02 03 00"},
             {4, "00 00 00 04  01 02 03 04  00 00 00 00"},
             {5, "00 00 00 05  01 02 03 04 05 00 00 00"},
         }) {
        const Data payload = sequence(c.size);
        const Data block = KX::dataBlockFromBlob(payload);
        EXPECT_EQ(block, bytes(c.hex)) << c.size;
        EXPECT_EQ(KX::blobFromDataBlock(block), payload) << c.size;
    }
    EXPECT_EQ(KX::dataBlockFromBlob(Data()), bytes("00 00 00 00 00 00 00 00"));

    const Data large = sequence(300);
    const Data block = KX::dataBlockFromBlob(large);
    EXPECT_EQ(block.size(), 4u + 300u + 4u);
    EXPECT_EQ(KX::intFromDataBlock(block), 300);
    EXPECT_EQ(KX::blobFromDataBlock(block), large);
}

TEST(KXOSCDataUtilities, BlobReaderChecksTheSizeFieldAgainstTheBuffer) {
    struct Case {
        Data block;
        Data expected;
    };
    for (const Case& c : std::vector<Case>{
             {bytes("00 00 00 02 AA BB 00 00"), bytes("AA BB")},
             {bytes("00 00 00 02 AA BB"), bytes("AA BB")},
             {bytes("00 00 00 02 AA BB CC DD EE"), bytes("AA BB")},
             {bytes("00 00 00 00"), Data::empty()},
             {bytes("00 00 00 05 AA BB"), Data()},
             {bytes("00 00 00"), Data()},
             {bytes(""), Data()},
             {Data(), Data()},
             {bytes("FF FF FF FB"), Data()},
             {bytes("FF FF FF FB 01 02 03 04 05 06 07 08"), Data()},
             {bytes("80 00 00 00 01 02 03 04"), Data()},
         }) {
        const Data blob = KX::blobFromDataBlock(c.block);
        EXPECT_EQ(blob.isAbsent(), c.expected.isAbsent()) << c.block.description();
        EXPECT_EQ(blob, c.expected) << c.block.description();
    }
}

TEST(KXOSCDataUtilities, BlobSizeFromMinusFourToMinusOneIsARangeError) {
    for (const char* hex : {"FF FF FF FE", "FF FF FF FE 01 02 03 04", "FF FF FF FF",
                            "FF FF FF FC 00 00 00 00 00 00 00 00"}) {
        EXPECT_THROW(KX::blobFromDataBlock(bytes(hex)), DataRangeError) << hex;
    }
}

TEST(KXOSCDataUtilities, ImmediateTimeTag) {
    EXPECT_EQ(KX::ntpTimestampForImmediate(), bytes("00 00 00 00 00 00 00 01"));
    EXPECT_EQ(KX::ntpTimestampFromNSDate(Date::distantPast()), KX::ntpTimestampForImmediate());
    EXPECT_EQ(KX::dateFromNTPTimestamp(KX::ntpTimestampForImmediate()), Date::distantPast());
}

TEST(KXOSCDataUtilities, TimeTagFromDate) {
    struct Case {
        std::optional<double> seconds;
        const char* hex;
    };
    for (const Case& c : std::vector<Case>{
             {std::nullopt, "5C 00 00 00  00 00 00 00"},
             {0.0, "5C 00 00 00  00 00 00 00"},
             {-0.0, "5C 00 00 00  00 00 00 00"},
             {1.5, "5C 00 00 01  80 00 00 00"},
             {std::ldexp(1.0, -32), "5C 00 00 00  00 00 00 01"},
             {123456789.75, "63 5B CD 15  C0 00 00 00"},
             // Before the reference date the seconds truncate toward zero and the fraction
             // wraps below 2^32.
             {-1.25, "5B FF FF FF  C0 00 00 00"},
             {-0.25, "5C 00 00 00  C0 00 00 00"},
             {-1.0, "5B FF FF FF  00 00 00 00"},
             // The signed 32-bit range of whole seconds, just inside and just outside.
             {kTwo31 - 1, "DB FF FF FF  00 00 00 00"},
             {kTwo31 - 0.5, "DB FF FF FF  80 00 00 00"},
             {kTwo31, "DC 00 00 00  00 00 00 00"},
             {kTwo31 + 0.5, "DC 00 00 00  00 00 00 00"},
             {-kTwo31, "DC 00 00 00  00 00 00 00"},
             {-kTwo31 - 0.5, "DC 00 00 00  80 00 00 00"},
             {-kTwo31 - 1, "DC 00 00 00  00 00 00 00"},
             {-kTwo31 - 1.5, "DC 00 00 00  80 00 00 00"},
             // The fraction step's signed 64-bit range: 2^32 * (t + 2^31) reaches -2^63 at
             // t = -2^32.
             {-2 * kTwo31 + 0.5, "DC 00 00 00  80 00 00 00"},
             {-2 * kTwo31 - 0.5, "DC 00 00 00  00 00 00 00"},
             {Date::kDistantPastInterval + 1, "DC 00 00 00  00 00 00 00"},
             {1e300, "DC 00 00 00  00 00 00 00"},
             {kInfinity, "DC 00 00 00  00 00 00 00"},
             {-kInfinity, "DC 00 00 00  00 00 00 00"},
             {kNaN, "DC 00 00 00  00 00 00 00"},
         }) {
        const std::optional<Date> date =
            c.seconds ? std::optional<Date>(Date(*c.seconds)) : std::nullopt;
        EXPECT_EQ(KX::ntpTimestampFromNSDate(date), bytes(c.hex))
            << (c.seconds ? std::to_string(*c.seconds) : "no date");
    }
}

TEST(KXOSCDataUtilities, DateFromTimeTagDropsTheFraction) {
    struct Case {
        const char* hex;
        double seconds;
    };
    for (const Case& c : std::vector<Case>{
             {"00 00 00 00  00 00 00 00", -1543503872.0},
             {"00 00 00 00  00 00 00 02", -1543503872.0},
             {"5C 00 00 00  00 00 00 01", 0.0},
             {"5C 00 00 01  FF FF FF FF", 1.0},
             {"5C 00 00 02  00 00 00 00  FF", 2.0},
             {"5B FF FF FF  C0 00 00 00", -1.0},
             {"DB FF FF FF  00 00 00 00", kTwo31 - 1},
             {"DC 00 00 00  00 00 00 00", -kTwo31},
             {"FF FF FF FF  00 00 00 00", -1543503873.0},
         }) {
        EXPECT_EQ(KX::dateFromNTPTimestamp(bytes(c.hex)), Date(c.seconds)) << c.hex;
    }
}

TEST(KXOSCDataUtilities, TimeTagShorterThanEightBytesIsARangeError) {
    for (const Data& block : {bytes("5C 00 00 00 00 00 00"), bytes("00 00 00 00"), Data()}) {
        EXPECT_THROW(KX::dateFromNTPTimestamp(block), DataRangeError) << block.description();
    }
}

TEST(KXOSCDataUtilities, TimeTagRoundTripsKeepWholeSeconds) {
    for (const double seconds : {1.5, -1.25, 123456789.75, kTwo31 - 0.5, -kTwo31 + 0.5}) {
        const Date read = KX::dateFromNTPTimestamp(KX::ntpTimestampFromNSDate(Date(seconds)));
        EXPECT_EQ(read, Date(std::trunc(seconds))) << seconds;
    }
    EXPECT_EQ(
        KX::ntpTimestampFromNSDate(KX::dateFromNTPTimestamp(bytes("5C 00 00 01 FF FF FF FF"))),
        bytes("5C 00 00 01 00 00 00 00"));
}

} // namespace
