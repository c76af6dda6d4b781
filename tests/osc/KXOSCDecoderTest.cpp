#include "common/osc/KXOSCDecoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using testing_support::bytes;

constexpr const char* kHead = "23 62 75 6E 64 6C 65 00 5C 00 00 00 00 00 00 00 ";
constexpr const char* kMessageA1 = "2F 61 00 00 2C 69 00 00 00 00 00 01";

/// A datagram and what the decoder makes of it: no packet, or a packet whose bytes, written
/// again, are `written` (nullptr: a packet that writes no buffer).
struct Row {
    const char* name;
    std::string datagram;
    bool decodes;
    const char* written;
};

std::string head(const char* rest) {
    return std::string(kHead) + rest;
}

void expectRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto packet = KXOSCDecoder::decodeData(bytes(row.datagram));
        ASSERT_EQ(packet != nullptr, row.decodes);
        if (!packet)
            continue;
        if (row.written == nullptr)
            EXPECT_TRUE(packet->packetizedData().isAbsent());
        else
            EXPECT_EQ(packet->packetizedData(), bytes(row.written));
    }
}

TEST(KXOSCDecoder, Messages) {
    expectRows({
        {"address only: refused", "2F 61 00 00", false, nullptr},
        {"no arguments, trailing bytes ignored", "2F 61 00 00 2C 00 00 00 AA BB CC", true,
         "2F 61 00 00 2C 00 00 00"},
        {"empty address", "00 00 00 00 2C 00 00 00", true, "00 00 00 00 2C 00 00 00"},
        {"address need not begin with /", "61 00 00 00 2C 00 00 00", true,
         "61 00 00 00 2C 00 00 00"},
        {"one argument of each type",
         "2F 78 00 00 2C 73 69 66 62 00 00 00 73 00 00 00 00 00 00 02 3F 00 00 00 "
         "00 00 00 03 AA BB CC 00",
         true,
         "2F 78 00 00 2C 73 69 66 62 00 00 00 73 00 00 00 00 00 00 02 3F 00 00 00 "
         "00 00 00 03 AA BB CC 00"},
        // Only the last byte of each word is tested, and zeros at both ends are trimmed.
        {"string scan: leading zero, unpadded string",
         "00 2F 61 62 00 00 00 00 2C 73 00 00 61 62 63 64 00 00 00 00", true,
         "2F 61 62 00 2C 73 00 00 61 62 63 64 00 00 00 00"},
        {"address without zero at a tested position: refused", "2F 61 62 63 2C 00 00 00", false,
         nullptr},
        {"address not ASCII: refused", "2F E9 00 00 2C 00 00 00", false, nullptr},
        {"type tags not ASCII: refused", "2F 61 00 00 2C E9 00 00", false, nullptr},
        {"type tags run to the end: refused", "2F 61 00 00 2C 69 69 69", false, nullptr},
        {"type tags without comma: refused", "2F 61 00 00 69 00 00 00 00 00 00 01", false, nullptr},
        {"type tag word of four zero bytes", "2F 61 00 00 00 00 00 00", false, nullptr},
        {"unsupported type T", "2F 61 00 00 2C 54 00 00", false, nullptr},
        {"unsupported type d", "2F 61 00 00 2C 64 00 00 00 00 00 00 00 00 00 00", false, nullptr},
        {"three bytes of an int32", "2F 61 00 00 2C 69 00 00 00 00 00", false, nullptr},
        {"three bytes of a float32", "2F 61 00 00 2C 66 00 00 3F 80 00", false, nullptr},
        {"float32 carried bit for bit", "2F 61 00 00 2C 66 00 00 FF C0 12 34", true,
         "2F 61 00 00 2C 66 00 00 FF C0 12 34"},
        {"string argument runs to the end", "2F 61 00 00 2C 73 00 00 61 62 63 64", false, nullptr},
        {"string argument not ASCII", "2F 61 00 00 2C 73 00 00 61 E9 00 00", false, nullptr},
        {"blob announced, no bytes left: empty blob", "2F 61 00 00 2C 62 00 00", true,
         "2F 61 00 00 2C 62 00 00 00 00 00 00 00 00 00 00"},
        {"4-byte blob without pad, then int32",
         "2F 61 00 00 2C 62 69 00 00 00 00 04 AA BB CC DD "
         "00 00 00 01",
         false, nullptr},
        {"4-byte blob with four pad bytes, then int32",
         "2F 61 00 00 2C 62 69 00 00 00 00 04 AA BB CC DD 00 00 00 00 00 00 00 01", true,
         "2F 61 00 00 2C 62 69 00 00 00 00 04 AA BB CC DD 00 00 00 00 00 00 00 01"},
        {"last blob without pad bytes loses nothing",
         "2F 61 00 00 2C 62 00 00 00 00 00 04 AA BB CC DD", true,
         "2F 61 00 00 2C 62 00 00 00 00 00 04 AA BB CC DD 00 00 00 00"},
        {"blob starting past the end", "2F 61 00 00 2C 62 62 00 00 00 00 04 AA BB CC DD", false,
         nullptr},
        // A blob that cannot be read is empty and moves the cursor 8 bytes on.
        {"blob size larger than the bytes after it",
         "2F 61 00 00 2C 62 69 00 00 00 00 09 AA BB CC DD 00 00 00 07", true,
         "2F 61 00 00 2C 62 69 00 00 00 00 00 00 00 00 00 00 00 00 07"},
        {"blob size -5", "2F 61 00 00 2C 62 69 00 FF FF FF FB AA BB CC DD 00 00 00 07", true,
         "2F 61 00 00 2C 62 69 00 00 00 00 00 00 00 00 00 00 00 00 07"},
        {"blob size wraps past the int32 maximum",
         "2F 61 00 00 2C 62 69 00 7F FF FF FD AA BB CC DD 00 00 00 07", true,
         "2F 61 00 00 2C 62 69 00 00 00 00 00 00 00 00 00 00 00 00 07"},
        {"blob size -1", "2F 61 00 00 2C 62 00 00 FF FF FF FF", false, nullptr},
        {"blob size -4", "2F 61 00 00 2C 62 00 00 FF FF FF FC 00 00 00 00", false, nullptr},
        // A zero kept inside a text would end it early when written again, and the rest would
        // be read as the type tags ("/ab" then ",ii" here).
        {"address with a zero character inside: refused",
         "00 2F 61 62 00 2C 69 69 00 00 00 00 2C 00 00 00", false, nullptr},
        // Leading zeros are trimmed: written again, an address beginning with "#" would make
        // the message read as a bundle.
        {"address beginning with # after leading zeros: refused", "00 23 62 00 2C 00 00 00", false,
         nullptr},
        {"string argument with a zero character inside",
         "2F 61 00 00 2C 73 00 00 00 61 62 63 00 64 65 66 00 00 00 00", false, nullptr},
    });
}

TEST(KXOSCDecoder, Bundles) {
    const std::string message = std::string("00 00 00 0C ") + kMessageA1;
    expectRows({
        {"empty datagram", "", false, nullptr},
        {"# and 15 bytes of any value: a bundle without elements",
         "23 FF FF FF FF FF FF FF 5C 00 00 00 00 00 00 00", true, nullptr},
        {"# and 14 bytes", "23 62 75 6E 64 6C 65 00 5C 00 00 00 00 00 00", false, nullptr},
        {"one byte left over is ignored", head("AA"), true, nullptr},
        {"two bytes left over", head("AA BB"), false, nullptr},
        {"three bytes left over", head("AA BB CC"), false, nullptr},
        {"two bytes left over after an element", head((message + " 00 00").c_str()), false,
         nullptr},
        {"one message", head(message.c_str()), true, head(message.c_str()).c_str()},
        {"marker other than #bundle",
         std::string("23 41 42 43 44 45 46 47 5C 00 00 00 00 00 00 00 ") + message, true,
         head(message.c_str()).c_str()},
        {"immediate time tag", "23 62 75 6E 64 6C 65 00 00 00 00 00 00 00 00 01 " + message, true,
         ("23 62 75 6E 64 6C 65 00 00 00 00 00 00 00 00 01 " + message).c_str()},
        {"fraction of the time tag dropped",
         "23 62 75 6E 64 6C 65 00 5C 00 00 01 FF FF FF FF " + message, true,
         ("23 62 75 6E 64 6C 65 00 5C 00 00 01 00 00 00 00 " + message).c_str()},
        {"element of size 0 skipped", head(("00 00 00 00 " + message).c_str()), true,
         head(message.c_str()).c_str()},
        {"refused message skipped",
         head(("00 00 00 08 2F 61 00 00 69 00 00 00 " + message).c_str()), true,
         head(message.c_str()).c_str()},
        {"message with a zero inside its address skipped",
         head(("00 00 00 10 00 2F 61 62 00 2C 69 69 00 00 00 00 2C 00 00 00 " + message).c_str()),
         true, head(message.c_str()).c_str()},
        {"message with an unsupported type stops the datagram",
         head(("00 00 00 08 2F 61 00 00 2C 54 00 00 " + message).c_str()), false, nullptr},
        {"negative element size", head("FF FF FF FC 00 00 00 00"), false, nullptr},
        {"element larger than the bytes after its size field",
         head(("00 00 00 10 " + std::string(kMessageA1)).c_str()), false, nullptr},
        {"bare bundle head as the only element",
         head("00 00 00 10 23 62 75 6E 64 6C 65 00 5C 00 00 00 00 00 00 00"), true,
         head("00 00 00 00").c_str()},
        {"nested bundle", head(("00 00 00 20 " + head(message.c_str()) + " " + message).c_str()),
         true, head(("00 00 00 20 " + head(message.c_str()) + " " + message).c_str()).c_str()},
        // No packet from any depth stops the whole datagram.
        {"no packet inside a nested bundle",
         head(("00 00 00 20 " + std::string(kHead) +
               "00 00 00 0C 2F 61 00 00 2C 69 00 00 00 00 "
               "00 01 00 00 00 08 2F 61 00 00 00 00 00 00")
                  .c_str()),
         false, nullptr},
        {"nested bundle cut short",
         head("00 00 00 0F 23 62 75 6E 64 6C 65 00 5C 00 00 00 00 00 00"), false, nullptr},
    });
}

TEST(KXOSCDecoder, AbsentBufferGivesNoPacket) {
    EXPECT_EQ(KXOSCDecoder::decodeData(Data()), nullptr);
}

TEST(KXOSCDecoder, BuildsTheObjectModel) {
    const auto packet = KXOSCDecoder::decodeData(bytes(
        head("00 00 00 18 2F 6F 73 63 00 00 00 00 2C 73 62 00 68 69 00 00 00 00 00 02 AA BB 00 00 "
             "00 00 00 08 2F 62 00 00 2C 00 00 00")));
    const auto bundle = std::dynamic_pointer_cast<KXOSCBundle>(packet);
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(bundle->timeStamp(), Date(0));
    ASSERT_EQ(bundle->attachedObjects()->size(), 2u);
    const auto first = std::dynamic_pointer_cast<KXOSCMessage>(bundle->attachedObjects()->at(0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->address()->address(), "/osc");
    ASSERT_EQ(first->attachedObjects()->size(), 2u);
    EXPECT_EQ(first->attachedObjects()->at(0)->stringValue(), "hi");
    EXPECT_EQ(first->attachedObjects()->at(1)->dataBlobValue(), bytes("AA BB"));
    // A message without arguments still has an (empty) argument list.
    const auto second = std::dynamic_pointer_cast<KXOSCMessage>(bundle->attachedObjects()->at(1));
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->attachedObjects().has_value());
    EXPECT_TRUE(second->attachedObjects()->empty());
    EXPECT_EQ(packet->stringRepresentation(),
              "BUNDLE:\ntime: 2001-01-01 00:00:00 +0000\n---\nMESSAGE:\naddress:/osc\n types:,sb\n"
              "s { hi }\nb { <aabb> }\n---\nMESSAGE:\naddress:/b\n types:,");
}

TEST(KXOSCDecoder, PartsOfADecodedMessageOutliveIt) {
    // Five arguments and two: the address and arguments are kept in shared blocks of two kinds.
    for (const char* hex :
         {"2F 61 00 00 2C 69 69 69 69 73 00 00 00 00 00 01 00 00 00 02 00 00 00 03 "
          "00 00 00 04 61 62 00 00",
          "2F 61 00 00 2C 69 73 00 00 00 00 01 61 62 00 00"}) {
        auto message =
            std::dynamic_pointer_cast<KXOSCMessage>(KXOSCDecoder::decodeData(bytes(hex)));
        ASSERT_NE(message, nullptr) << hex;
        const auto address = message->address();
        const auto last = message->attachedObjects()->back();
        message->setAddress(KXOSCAddress::addressWithString("/b"));
        message.reset();
        EXPECT_EQ(address->address(), "/a");
        EXPECT_EQ(last->stringValue(), "ab");
        last->setIntValue(7);
        EXPECT_EQ(last->intValue(), 7);
    }
}

TEST(KXOSCDecoder, ReadingStepsReportTheirEndOffsets) {
    std::int32_t end = -1;
    EXPECT_EQ(KXOSCDecoder::stringFromData(bytes("61 62 63 64 00 00 00 00"), 0, end), "abcd");
    EXPECT_EQ(end, 8);
    // Only the last byte of each word is looked at: the zero after "a" does not end the string.
    EXPECT_EQ(KXOSCDecoder::stringFromData(bytes("00 00 61 00 62 63 64 65 66 00 00 00"), 4, end),
              "bcdef");
    EXPECT_EQ(end, 12);
    EXPECT_EQ(KXOSCDecoder::stringFromData(bytes("61 00 62 63 64 65 66 00"), 0, end),
              std::string("a\0bcdef", 7));
    EXPECT_EQ(KXOSCDecoder::stringFromData(bytes("61 62 63 64"), 0, end), std::nullopt);

    struct BlobCase {
        const char* hex;
        std::int32_t start;
        const char* payload;
        std::int32_t end;
    };
    for (const BlobCase& c : {
             BlobCase{"00 00 00 03 01 02 03 00", 0, "01 02 03", 8},
             BlobCase{"00 00 00 04 01 02 03 04", 0, "01 02 03 04", 12},
             BlobCase{"00 00 00 00", 0, "", 8},
             BlobCase{"AA 00 00 00 05 01 02", 1, nullptr, 9},
             BlobCase{"00 00 00 00", 4, nullptr, 12},
         }) {
        const Data payload = KXOSCDecoder::dataBlobFromData(bytes(c.hex), c.start, end);
        EXPECT_EQ(payload, c.payload ? bytes(c.payload) : Data()) << c.hex;
        EXPECT_EQ(end, c.end) << c.hex;
    }

    EXPECT_EQ(KXOSCDecoder::intFromData(bytes("AA FF FF FF FE"), 1, end), -2);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(KXOSCDecoder::floatFromData(bytes("3F 80 00 00"), 0, end), 1.0f);
    EXPECT_EQ(end, 4);

    end = 99;
    EXPECT_EQ(KXOSCDecoder::argumentFromData(bytes("00 00 00 01"), 0, end, 'T'), nullptr);
    EXPECT_EQ(end, 99);
    const auto argument = KXOSCDecoder::argumentFromData(bytes("00 00 00 01"), 0, end, 'i');
    ASSERT_NE(argument, nullptr);
    EXPECT_EQ(argument->intValue(), 1);
    EXPECT_EQ(end, 4);
}

TEST(KXOSCDecoder, StepsLetTheStopThroughToDecodeData) {
    std::int32_t end = 0;
    EXPECT_THROW(KXOSCDecoder::intFromData(bytes("00 00 00"), 0, end), DataRangeError);
    EXPECT_THROW(KXOSCDecoder::dataBlobFromData(bytes("00 00 00 00"), 5, end), DataRangeError);
    EXPECT_THROW(KXOSCDecoder::dataBlobFromData(bytes("FF FF FF FE 00 00"), 0, end),
                 DataRangeError);
    EXPECT_THROW(KXOSCDecoder::stringFromData(bytes("00 00 00 00"), -4, end), DataRangeError);
    EXPECT_THROW(KXOSCDecoder::decodeRawMessage(bytes("2F 61 00 00 00 00 00 00")),
                 KXOSCDecoder::NoPacketError);
    EXPECT_THROW(KXOSCDecoder::decodeRawBundle(bytes(head("FF FF FF FF"))),
                 KXOSCDecoder::NoPacketError);
    EXPECT_THROW(KXOSCDecoder::decodeRawBundle(bytes("23 62 75 6E")), DataRangeError);
    EXPECT_EQ(KXOSCDecoder::decodeRawMessage(bytes("2F 61 00 00")), nullptr);
}

} // namespace
