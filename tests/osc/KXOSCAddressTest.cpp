#include "common/osc/KXOSCAddress.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using testing_support::bytes;

TEST(KXOSCAddress, FromStringKeepsTheTextUnvalidated) {
    struct Case {
        std::string text;
        const char* hex;
    };
    for (const Case& c : std::vector<Case>{
             {"/x", "2F 78 00 00"},
             {"/abc", "2F 61 62 63 00 00 00 00"},
             {"", "00 00 00 00"},
             {"no slash", "6E 6F 20 73 6C 61 73 68 00 00 00 00"},
             // Text without an ASCII form is kept but encodes as the empty string.
             {"/caf\xC3\xA9", "00 00 00 00"},
         }) {
        const auto address = KXOSCAddress::addressWithString(c.text);
        ASSERT_NE(address, nullptr) << c.text;
        EXPECT_EQ(address->address(), c.text);
        EXPECT_EQ(address->packetizedData(), bytes(c.hex)) << c.text;
    }
    EXPECT_EQ(KXOSCAddress::addressWithString(std::nullopt), nullptr);
}

TEST(KXOSCAddress, HoldsItsOwnCopyOfTheText) {
    std::string text = "/a";
    const auto address = KXOSCAddress::addressWithString(text);
    text[1] = 'b';
    EXPECT_EQ(address->address(), "/a");

    address->setAddress("/longer/than/sixteen/bytes");
    EXPECT_EQ(address->packetizedData().size(), 28u);
}

TEST(KXOSCAddress, FromArrayJoinsEachElementAfterASlash) {
    struct Case {
        std::vector<std::string> elements;
        std::string expected;
    };
    for (const Case& c : std::vector<Case>{
             {{"a", "b"}, "/a/b"},
             {{}, ""},
             {{"", "b"}, "//b"},
             {{"a/b", "c"}, "/a/b/c"},
             {{""}, "/"},
         }) {
        const auto address = KXOSCAddress::addressWithArray(c.elements);
        ASSERT_NE(address, nullptr);
        EXPECT_EQ(address->address(), c.expected);
    }
    EXPECT_EQ(KXOSCAddress::addressWithArray({})->packetizedData(), bytes("00 00 00 00"));
}

} // namespace
