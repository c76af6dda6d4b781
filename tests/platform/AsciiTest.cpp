#include "platform/Ascii.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(Ascii, EveryByteAboveSevenBitsHasNoOtherForm) {
    for (int value = 0; value < 256; ++value) {
        const auto byte = static_cast<std::uint8_t>(value);
        const std::string text(1, static_cast<char>(byte));
        const bool ascii = value < 0x80;
        EXPECT_EQ(isStrictAscii(text), ascii) << value;
        EXPECT_EQ(asciiBytesFromString(text).isAbsent(), !ascii) << value;
        EXPECT_EQ(asciiStringFromBytes(std::span(&byte, 1)).has_value(), ascii) << value;
        if (ascii) {
            EXPECT_EQ(asciiBytesFromString(text), Data::copyOf(std::span(&byte, 1)));
            EXPECT_EQ(asciiStringFromBytes(std::span(&byte, 1)), text);
        }
    }
}

TEST(Ascii, ConvertsWholeTextsOneBytePerCharacter) {
    struct Case {
        std::string text;
        bool ascii;
    };
    for (const Case& c : std::vector<Case>{
             {""s, true},
             {"a\0b"s, true},
             {"/a/long/address/of/more/than/sixteen/bytes"s, true},
             {"caf\xC3\xA9"s, false},
             {"a long text that ends outside ASCII \xE2\x82\xAC"s, false},
         }) {
        const Data bytes = asciiBytesFromString(c.text);
        EXPECT_EQ(bytes.isAbsent(), !c.ascii) << c.text;
        const std::span<const std::uint8_t> raw{
            reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()};
        if (c.ascii) {
            EXPECT_EQ(bytes, Data::copyOf(raw)) << c.text;
            EXPECT_EQ(asciiStringFromBytes(bytes.span()), c.text);
        } else {
            EXPECT_EQ(asciiStringFromBytes(raw), std::nullopt) << c.text;
        }
    }
}

TEST(Ascii, TrimmingRemovesZeroCharactersAtBothEndsOnly) {
    struct Case {
        std::string text;
        std::string expected;
    };
    for (const Case& c : std::vector<Case>{
             {""s, ""s},
             {"\0\0\0"s, ""s},
             {"ab"s, "ab"s},
             {"\0ab\0\0"s, "ab"s},
             {"a\0b"s, "a\0b"s},
             {"\0\0a\0\0b\0"s, "a\0\0b"s},
             {" a "s, " a "s},
         }) {
        EXPECT_EQ(trimmingZeroCharacters(c.text), c.expected);
    }
}

} // namespace
