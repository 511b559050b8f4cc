#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "pattern_source.h"
#include "vcu/camera/frame_code.h"

namespace {

using vcu::camera::readFrameCode;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

std::vector<std::uint8_t> renderPattern(std::uint64_t frameNumber, unsigned int cameraId = 8) {
    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(kWidth) * kHeight * 3 / 2);
    vcu::camera::internal::PatternSource source(cameraId, kWidth, kHeight);
    EXPECT_TRUE(source.fill(nv12.data(), kWidth, kHeight, frameNumber));
    return nv12;
}

// Nearest-neighbour resampling about the picture centres: output = centre + scale * (input - centre). A
// centred crop followed by a resize is one such mapping.
std::vector<std::uint8_t> resampleLuma(const std::vector<std::uint8_t>& luma, int outWidth, int outHeight,
                                       double scale) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(outWidth) * outHeight);
    for (int y = 0; y < outHeight; ++y) {
        const auto sy = static_cast<int>(kHeight / 2 + (y + 0.5 - outHeight / 2.0) / scale);
        for (int x = 0; x < outWidth; ++x) {
            const auto sx = static_cast<int>(kWidth / 2 + (x + 0.5 - outWidth / 2.0) / scale);
            out[static_cast<std::size_t>(y) * outWidth + x] =
                luma[static_cast<std::size_t>(sy) * kWidth + sx];
        }
    }
    return out;
}

TEST(FrameCodeTest, RoundTripsTheLow16BitsOfTheFrameNumber) {
    for (const std::uint64_t frameNumber : {0ULL, 1ULL, 0x8421ULL, 0xA5A5ULL, 0xFFFFULL, 0x12345ULL}) {
        const auto picture = renderPattern(frameNumber);
        EXPECT_EQ(readFrameCode(picture.data(), kWidth, kHeight, kWidth, 1.0), frameNumber & 0xFFFFU)
            << "frame " << frameNumber;
    }
}

TEST(FrameCodeTest, SurvivesDownscaleToTwoThirdsAndCentredCrop) {
    const auto picture = renderPattern(0x5A3C, 11);
    const auto resized = resampleLuma(picture, 1280, 720, 2.0 / 3.0);
    EXPECT_EQ(readFrameCode(resized.data(), 1280, 720, 1280, 2.0 / 3.0), 0x5A3CU);

    // Crop 1440 x 810 around the centre, resize to 1280 x 720.
    const double cropScale = 1280.0 / 1440.0;
    const auto cropped = resampleLuma(picture, 1280, 720, cropScale);
    EXPECT_EQ(readFrameCode(cropped.data(), 1280, 720, 1280, cropScale), 0x5A3CU);
}

TEST(FrameCodeTest, RefusesDamagedOrMissingCodes) {
    auto picture = renderPattern(0x0F0F);
    // Flip the first data cell of row 1: the row's parity no longer matches.
    const int cellX = kWidth / 2 - 160 + 16;
    const int cellY = kHeight / 2 - 128 + 64 + 16;
    const std::uint8_t flipped = picture[static_cast<std::size_t>(cellY) * kWidth + cellX] > 128 ? 16 : 235;
    for (int y = cellY; y < cellY + 32; ++y) {
        std::fill_n(picture.begin() + static_cast<long>(y) * kWidth + cellX, 32, flipped);
    }
    EXPECT_FALSE(readFrameCode(picture.data(), kWidth, kHeight, kWidth, 1.0).has_value());

    const std::vector<std::uint8_t> grey(static_cast<std::size_t>(kWidth) * kHeight, 128);
    EXPECT_FALSE(readFrameCode(grey.data(), kWidth, kHeight, kWidth, 1.0).has_value());
    // The grid would not fit: cells fall outside the picture.
    EXPECT_FALSE(readFrameCode(grey.data(), 200, 100, 200, 1.0).has_value());
    EXPECT_FALSE(readFrameCode(nullptr, kWidth, kHeight, kWidth, 1.0).has_value());
    EXPECT_FALSE(readFrameCode(grey.data(), kWidth, kHeight, kWidth, 0.0).has_value());
}

}  // namespace
