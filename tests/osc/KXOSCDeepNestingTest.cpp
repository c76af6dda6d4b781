// Datagrams of bundles nested as deep as a datagram allows, on a thread with a modest stack.
#include "common/osc/KXOSCDecoder.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

/// Largest UDP payload a listener hands over.
constexpr std::size_t kMaxDatagram = 65506;
/// A bundle nested in another takes its size field and its 16-byte head.
constexpr int kDeepest = 3275;
constexpr std::size_t kStackSize = 1 << 20;

void appendHead(std::vector<std::uint8_t>& out) {
    const std::uint8_t head[16] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0x5C, 0, 0, 0, 0, 0, 0, 0};
    out.insert(out.end(), std::begin(head), std::end(head));
}

void appendSize(std::vector<std::uint8_t>& out, std::size_t size) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(size >> shift));
}

/// `levels` bundles one inside the other around `innermost` (the deepest bundle's elements
/// and left-over bytes); the outermost `extraBytes` bundles each end with one ignored byte.
std::vector<std::uint8_t> nestedBundles(int levels, const std::vector<std::uint8_t>& innermost,
                                        int extraBytes = 0) {
    std::vector<std::uint8_t> bytes;
    appendHead(bytes);
    bytes.insert(bytes.end(), innermost.begin(), innermost.end());
    for (int level = 1; level < levels; ++level) {
        std::vector<std::uint8_t> outer;
        appendHead(outer);
        appendSize(outer, bytes.size());
        outer.insert(outer.end(), bytes.begin(), bytes.end());
        if (level >= levels - extraBytes)
            outer.push_back(0xAA);
        bytes = std::move(outer);
    }
    return bytes;
}

/// Runs `work` to its end on a new thread whose stack holds `kStackSize` bytes.
void runOnModestStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, kStackSize), 0);
    pthread_t thread;
    auto* argument = const_cast<std::function<void()>*>(&work);
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* run) -> void* {
                      (*static_cast<std::function<void()>*>(run))();
                      return nullptr;
                  },
                  argument),
              0);
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

std::size_t occurrences(const std::string& text, const std::string& word) {
    std::size_t count = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

TEST(KXOSCDeepNesting, DeepestDatagramDecodesWritesRendersAndIsReleased) {
    const auto datagram = Data::copyOf(nestedBundles(kDeepest, {}, 10));
    ASSERT_EQ(datagram.size(), kMaxDatagram);
    // Written again, the deepest bundle (without elements) becomes a size field of 0 and the
    // ignored bytes are gone.
    const auto expected = Data::copyOf(nestedBundles(kDeepest - 1, {0, 0, 0, 0}));
    runOnModestStack([&] {
        auto packet = KXOSCDecoder::decodeData(datagram);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->packetizedData(), expected);
        EXPECT_EQ(occurrences(packet->stringRepresentation(), "BUNDLE:"),
                  static_cast<std::size_t>(kDeepest));
        packet.reset();
    });
}

TEST(KXOSCDeepNesting, NoPacketAtTheDeepestLevelStopsTheDatagram) {
    const std::vector<std::uint8_t> message = {0, 0, 0, 8, '/', 'a', 0, 0, ',', 0, 0, 0};
    std::vector<std::uint8_t> cutShort = message;
    cutShort.insert(cutShort.end(), {0xAA, 0xBB});
    runOnModestStack([&] {
        EXPECT_NE(KXOSCDecoder::decodeData(Data::copyOf(nestedBundles(3000, message))), nullptr);
        EXPECT_EQ(KXOSCDecoder::decodeData(Data::copyOf(nestedBundles(3000, cutShort))), nullptr);
    });
}

TEST(KXOSCDeepNesting, DeepBundlesBuiltByHandWriteRenderAndAreReleased) {
    runOnModestStack([] {
        auto outer = KXOSCBundle::bundleWithTimestamp(Date(0));
        auto current = outer;
        for (int level = 1; level < kDeepest; ++level) {
            auto inner = KXOSCBundle::bundleWithTimestamp(Date(0));
            current->attachObject(inner);
            current = inner;
        }
        current->attachObject(
            KXOSCMessage::messageWithKXOSCAddress(KXOSCAddress::addressWithString("/a")));
        current.reset();
        const std::vector<std::uint8_t> message = {0, 0, 0, 8, '/', 'a', 0, 0, ',', 0, 0, 0};
        EXPECT_EQ(outer->packetizedData(), Data::copyOf(nestedBundles(kDeepest, message)));
        EXPECT_EQ(occurrences(outer->stringRepresentation(), "---"),
                  static_cast<std::size_t>(kDeepest));
        outer.reset();
    });
}

} // namespace
