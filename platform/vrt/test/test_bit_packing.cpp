#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "vrt/common/serialize/bit_packing.h"

namespace vrt::common::serialize {
namespace {

using Payload = std::array<std::uint8_t, 4>;

TEST(BitPacking, LsbFirstSpansBytesAndKeepsNeighbouringBits) {
    Payload zeros{};
    ASSERT_TRUE(PackBits(zeros.data(), 32, 0xAB, 4, 8, 1));
    EXPECT_EQ(zeros, (Payload{0xB0, 0x0A, 0x00, 0x00}));

    Payload ones{0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(PackBits(ones.data(), 32, 0xAB, 4, 8, 2));  // byte order 2 is handled as 1
    EXPECT_EQ(ones, (Payload{0xBF, 0xFA, 0xFF, 0xFF}));
}

TEST(BitPacking, LsbFirstRefusesToRunPastThePayloadAndWritesNothing) {
    Payload payload{};
    EXPECT_TRUE(PackBitsLsbFirst(payload.data(), 32, 0xFFFFFFFFU, 0, 32));
    EXPECT_EQ(payload, (Payload{0xFF, 0xFF, 0xFF, 0xFF}));

    Payload untouched{};
    EXPECT_TRUE(PackBitsLsbFirst(untouched.data(), 32, 1, 31, 1));
    EXPECT_FALSE(PackBitsLsbFirst(untouched.data(), 32, 0xFF, 30, 3));
    EXPECT_EQ(untouched, (Payload{0x00, 0x00, 0x00, 0x80}));
}

TEST(BitPacking, MsbFirstPutsTheMostSignificantByteFirst) {
    Payload payload{};
    ASSERT_TRUE(PackBits(payload.data(), 32, 0x1234, 7, 16, 0));
    EXPECT_EQ(payload, (Payload{0x12, 0x34, 0x00, 0x00}));

    // A 12-bit signal whose most significant bit is bit 3 of byte 0: its low byte fills byte 1 and its high
    // nibble the low nibble of byte 0.
    Payload ones{0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(PackBits(ones.data(), 32, 0x0ABC, 3, 12, 0));
    EXPECT_EQ(ones, (Payload{0xFA, 0xBC, 0xFF, 0xFF}));
}

TEST(BitPacking, MsbFirstBoundaries) {
    Payload full{};
    EXPECT_TRUE(PackBitsMsbFirst(full.data(), 32, 0x01020304, 7, 32));
    EXPECT_EQ(full, (Payload{0x01, 0x02, 0x03, 0x04}));

    // The least significant bit would land beyond the payload: fails before writing anything.
    Payload beyond{};
    EXPECT_FALSE(PackBitsMsbFirst(beyond.data(), 32, 0xFFFF, 31, 16));
    EXPECT_EQ(beyond, (Payload{}));

    // Running off the payload's end midway fails and leaves the bits already written.
    Payload partial{};
    EXPECT_FALSE(PackBitsMsbFirst(partial.data(), 16, 0xFFFFFF, 15, 24));
    EXPECT_EQ(partial, (Payload{}));
    // Least significant bit at bit 0 of byte 1 of a 12-bit payload: four bits fit, the fifth does not.
    Payload midway{};
    EXPECT_FALSE(PackBitsMsbFirst(midway.data(), 12, 0xFF, 15, 8));
    EXPECT_EQ(midway, (Payload{0x00, 0x0F, 0x00, 0x00}));

    // Length 0 writes nothing and succeeds.
    Payload none{};
    EXPECT_TRUE(PackBitsMsbFirst(none.data(), 32, 0xFF, 7, 0));
    EXPECT_EQ(none, (Payload{}));
}

}  // namespace
}  // namespace vrt::common::serialize
