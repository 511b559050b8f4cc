#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "vrt/common/serialize/bit_packing.h"

namespace vrt::common::serialize {
namespace {

using Payload = std::array<std::uint8_t, 4>;

TEST(BitPackingTest, LsbFirstSpansBytesAndKeepsNeighbouringBits) {
    Payload zeros{};
    ASSERT_TRUE(PackBits(zeros.data(), 32, 0xAB, 4, 8, 1));
    EXPECT_EQ(zeros, (Payload{0xB0, 0x0A, 0x00, 0x00}));

    Payload ones{0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(PackBits(ones.data(), 32, 0xAB, 4, 8, 2));  // byte order 2 is handled as 1
    EXPECT_EQ(ones, (Payload{0xBF, 0xFA, 0xFF, 0xFF}));
}

TEST(BitPackingTest, LsbFirstRefusesToRunPastThePayloadAndWritesNothing) {
    Payload payload{};
    EXPECT_TRUE(PackBitsLsbFirst(payload.data(), 32, 0xFFFFFFFFU, 0, 32));
    EXPECT_EQ(payload, (Payload{0xFF, 0xFF, 0xFF, 0xFF}));

    Payload untouched{};
    EXPECT_TRUE(PackBitsLsbFirst(untouched.data(), 32, 1, 31, 1));
    EXPECT_FALSE(PackBitsLsbFirst(untouched.data(), 32, 0xFF, 30, 3));
    EXPECT_EQ(untouched, (Payload{0x00, 0x00, 0x00, 0x80}));
}

TEST(BitPackingTest, MsbFirstPutsTheMostSignificantByteFirst) {
    Payload payload{};
    ASSERT_TRUE(PackBits(payload.data(), 32, 0x1234, 7, 16, 0));
    EXPECT_EQ(payload, (Payload{0x12, 0x34, 0x00, 0x00}));

    // A 12-bit signal whose most significant bit is bit 3 of byte 0: its low byte fills byte 1 and its high
    // nibble the low nibble of byte 0.
    Payload ones{0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(PackBits(ones.data(), 32, 0x0ABC, 3, 12, 0));
    EXPECT_EQ(ones, (Payload{0xFA, 0xBC, 0xFF, 0xFF}));
}

TEST(BitPackingTest, MsbFirstBoundaries) {
    struct Case {
        const char* what;
        std::uint32_t payloadBits;
        std::uint64_t value;
        std::uint32_t startBit;
        std::uint32_t length;
        bool packed;
        Payload after;
    };
    const Case cases[] = {
        {"the whole payload", 32, 0x01020304, 7, 32, true, {0x01, 0x02, 0x03, 0x04}},
        // The least significant bit would land beyond the payload: fails before writing anything.
        {"least significant bit beyond the payload", 32, 0xFFFF, 31, 16, false, {}},
        // Running off the payload's end midway fails and leaves the bits already written.
        {"off the end of a 16-bit payload", 16, 0xFFFFFF, 15, 24, false, {}},
        // Least significant bit at bit 0 of byte 1 of a 12-bit payload: four bits fit, the fifth does not.
        {"off the end of a 12-bit payload", 12, 0xFF, 15, 8, false, {0x00, 0x0F, 0x00, 0x00}},
        {"length 0 writes nothing", 32, 0xFF, 7, 0, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Payload payload{};
        EXPECT_EQ(PackBitsMsbFirst(payload.data(), c.payloadBits, c.value, c.startBit, c.length), c.packed);
        EXPECT_EQ(payload, c.after);
    }
}

}  // namespace
}  // namespace vrt::common::serialize
