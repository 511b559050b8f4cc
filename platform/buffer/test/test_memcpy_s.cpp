#include "securec/memcpy_s.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <gtest/gtest.h>

namespace {

// The destination is the first kDest bytes of `buffer`; the rest is a guard no call may touch.
class MemcpySTest : public ::testing::Test {
  protected:
    static constexpr std::size_t kDest = 8;
    void SetUp() override { buffer.fill(0x11); }
    // True when the destination holds only `value` and the guard is intact.
    bool Holds(unsigned char value) const {
        return std::all_of(buffer.begin(), buffer.begin() + kDest,
                           [&](unsigned char b) { return b == value; }) &&
               std::all_of(buffer.begin() + kDest, buffer.end(), [](unsigned char b) { return b == 0x11; });
    }

    std::array<unsigned char, 2 * kDest> buffer{};
    const std::array<unsigned char, 16> source{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
};

TEST_F(MemcpySTest, CopiesUpToDestMax) {
    EXPECT_EQ(memcpy_s(buffer.data(), kDest, source.data(), kDest), MEMCPY_S_OK);
    EXPECT_EQ(std::memcmp(buffer.data(), source.data(), kDest), 0);
    EXPECT_EQ(buffer[kDest], 0x11);
    EXPECT_EQ(memcpy_s(buffer.data(), kDest, source.data(), 0), MEMCPY_S_OK);
}

TEST_F(MemcpySTest, UnusableDestinationIsRefusedWithoutWriting) {
    EXPECT_EQ(memcpy_s(nullptr, kDest, source.data(), 1), MEMCPY_S_ERR_DEST_NULL);
    EXPECT_EQ(memcpy_s(buffer.data(), 0, source.data(), 1), MEMCPY_S_ERR_DEST_MAX);
    EXPECT_EQ(memcpy_s(buffer.data(), static_cast<std::size_t>(-1), source.data(), 1), MEMCPY_S_ERR_DEST_MAX);
    EXPECT_TRUE(Holds(0x11));
}

TEST_F(MemcpySTest, RefusedCopyZeroesOnlyTheDestination) {
    EXPECT_EQ(memcpy_s(buffer.data(), kDest, nullptr, 1), MEMCPY_S_ERR_SRC_NULL);
    EXPECT_TRUE(Holds(0));
    buffer.fill(0x11);
    EXPECT_EQ(memcpy_s(buffer.data(), kDest, source.data(), kDest + 1), MEMCPY_S_ERR_COUNT);
    EXPECT_TRUE(Holds(0));
    buffer.fill(0x11);
    EXPECT_EQ(memcpy_s(buffer.data(), kDest, buffer.data() + 2, 4), MEMCPY_S_ERR_OVERLAP);
    EXPECT_TRUE(Holds(0));
    EXPECT_EQ(memcpy_s(buffer.data(), 4, buffer.data() + 4, 4), MEMCPY_S_OK)
        << "adjacent ranges do not overlap";
}

}  // namespace
