#include "platform/Data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace {

Data bytes(std::vector<std::uint8_t> values) { return Data::copyOf(values); }

TEST(Data, AbsentIsDistinctFromEmpty) {
    EXPECT_TRUE(Data().isAbsent());
    EXPECT_FALSE(Data::empty().isAbsent());
    EXPECT_EQ(Data::empty().size(), 0u);
    EXPECT_NE(Data(), Data::empty());
    EXPECT_EQ(Data(), Data());
    EXPECT_EQ(Data::empty(), bytes({}));
}

TEST(Data, CopiesShareBytesOfLargeBuffers) {
    const Data large = bytes(std::vector<std::uint8_t>(100, 7));
    const Data copy = large;
    EXPECT_EQ(copy.bytes(), large.bytes());
    const Data tail = large.subdata(10, 50);
    EXPECT_EQ(tail.bytes(), large.bytes() + 10);
    EXPECT_EQ(tail, bytes(std::vector<std::uint8_t>(50, 7)));
}

TEST(Data, SharedBytesMayBeCopiedAndReleasedOnOtherThreads) {
    Data large = bytes(std::vector<std::uint8_t>(1000, 7));
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([copy = large] {
            for (int i = 0; i < 1000; ++i) {
                const Data again = copy;
                EXPECT_EQ(again[999], 7);
            }
        });
    }
    // The last reference goes away on whichever thread ends last.
    large = Data();
    for (std::thread& thread : threads)
        thread.join();
}

TEST(Data, BuilderAppendsBytesBuffersAndZeros) {
    for (std::size_t length : {0u, 3u, 16u, 17u, 1000u}) {
        DataBuilder builder;
        std::vector<std::uint8_t> expected;
        for (std::size_t i = 0; i < length; ++i) {
            const auto byte = static_cast<std::uint8_t>(i * 31);
            builder.append(bytes({byte}));
            expected.push_back(byte);
        }
        builder.appendZeros(2);
        expected.insert(expected.end(), 2, 0);
        EXPECT_EQ(builder.build(), bytes(expected)) << length;
        EXPECT_EQ(builder.size(), 0u);
    }
}

TEST(Data, SubrangePastTheEndThrowsEvenWhenTheSumWraps) {
    const Data data = bytes({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(data.subdata(0, 8), data);
    EXPECT_EQ(data.subdata(8, 0), Data::empty());
    EXPECT_EQ(data.subdata(std::int32_t{4}, std::int32_t{2}), bytes({5, 6}));
    EXPECT_EQ(data.subdataFrom(6), bytes({7, 8}));

    EXPECT_THROW(data.subdata(9, 0), DataRangeError);
    EXPECT_THROW(data.subdata(4, 5), DataRangeError);
    EXPECT_THROW(data.subdata(-1, 2), DataRangeError);
    EXPECT_THROW(data.subdata(2, -1), DataRangeError);
    EXPECT_THROW(data.subdataFrom(9), DataRangeError);
    // Offsets and lengths whose sum wraps around in their own type are past the end too.
    EXPECT_THROW(data.subdata(std::uint32_t{4}, std::uint32_t{0xFFFFFFFE}), DataRangeError);
    EXPECT_THROW(data.subdata(std::size_t{4}, std::numeric_limits<std::size_t>::max()),
                 DataRangeError);
    EXPECT_THROW(data.subdata(std::numeric_limits<std::size_t>::max(), std::size_t{2}),
                 DataRangeError);
    EXPECT_THROW(Data().subdata(0, 1), DataRangeError);
    EXPECT_EQ(Data().subdata(0, 0), Data::empty());
}

TEST(Data, DescriptionGroupsBytesInFours) {
    EXPECT_EQ(bytes({0x01, 0x02, 0x03, 0x04, 0xAB}).description(), "<01020304 ab>");
    EXPECT_EQ(Data::empty().description(), "<>");
    EXPECT_EQ(Data().description(), "(null)");
}

} // namespace
