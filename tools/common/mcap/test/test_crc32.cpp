#include <gtest/gtest.h>

#include <string>

#include "crc32.h"

namespace camera_tools::mcap {
namespace {

TEST(Crc32Test, GivesTheCheckValuesOfCrc32AndAnyPiecesGiveTheWholesValue) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc32::Of(check.data(), check.size()), 0xCBF43926U);
    EXPECT_EQ(Crc32::Of(nullptr, 0), 0U);
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(Crc32::Of(fox.data(), fox.size()), 0x414FA339U);

    for (std::size_t split = 0; split <= fox.size(); ++split) {
        Crc32 pieces;
        pieces.Update(fox.data(), split);
        pieces.Update(fox.data() + split, fox.size() - split);
        EXPECT_EQ(pieces.Value(), 0x414FA339U) << "split at " << split;
    }
}

}  // namespace
}  // namespace camera_tools::mcap
