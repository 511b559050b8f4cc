#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <libyuv/scale.h>

#include "hwy/targets.h"
#include "media_test_support.h"
#include "nv12_scaler.h"

namespace {

using mpu::internal::Nv12Planes;
using mpu::internal::scale::Nv12Scaler;
using mpu_test::Picture;

constexpr std::uint8_t kGuard = 0xA5;

struct Geometry {
    const char* name;
    std::uint32_t srcWidth;
    std::uint32_t srcHeight;
    mpu_vpc_crop_region window;
    std::uint32_t dstWidth;
    std::uint32_t dstHeight;
};

const Geometry kCovered[] = {
    {"camera frame to output", 1920, 1080, {0, 0, 1920, 1080}, 1280, 720},
    {"camera frame with margins", 1920, 1080, {96, 54, 1728, 972}, 1280, 720},
    {"odd offset and size", 1920, 1080, {97, 55, 1727, 971}, 1280, 720},
    {"odd offset, small", 200, 120, {3, 5, 151, 97}, 100, 64},
    {"same size", 64, 32, {0, 0, 64, 32}, 64, 32},
    {"tiny", 6, 4, {0, 0, 6, 4}, 4, 2},
    {"row tails", 100, 60, {1, 1, 97, 57}, 74, 50},
};

// A picture whose every byte differs from its neighbours: a sample taken from the wrong place shows.
Picture noisePicture(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    Picture picture = Picture::nv12(width, height);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(0, 255);
    for (std::uint8_t& byte : picture.bytes) {
        byte = static_cast<std::uint8_t>(value(random));
    }
    return picture;
}

// A destination whose rows are longer than the picture and whose buffer runs on past the chroma plane, all
// filled with a guard value.
Picture guardedDestination(std::uint32_t width, std::uint32_t height) {
    Picture picture = Picture::nv12(width, height, width + 24);
    picture.bytes.resize(picture.bytes.size() + 64);
    picture.info.picture_address = picture.bytes.data();
    std::fill(picture.bytes.begin(), picture.bytes.end(), kGuard);
    return picture;
}

Nv12Planes planesOf(Picture& picture) {
    auto* luma = picture.bytes.data();
    const std::uint32_t stride = picture.info.picture_width_stride;
    return {luma, luma + std::size_t{stride} * picture.info.picture_height_stride, picture.info.picture_width,
            picture.info.picture_height, stride};
}

// Source position of destination sample i in samples, with libyuv's centre-aligned 16.16 arithmetic.
double sourcePosition(std::uint32_t src, std::uint32_t dst, std::uint32_t i) {
    const std::int64_t step = (std::int64_t{src} << 16) / dst;
    const std::int64_t position =
        std::clamp<std::int64_t>(step / 2 - 32768 + step * i, 0, std::int64_t{src - 1} << 16);
    return static_cast<double>(position) / 65536.0;
}

// Plain bilinear scaling of one plane (`channels` interleaved bytes per sample) in floating point.
std::uint8_t referenceSample(const std::uint8_t* plane, std::uint32_t stride, std::uint32_t channels,
                             std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth,
                             std::uint32_t dstHeight, std::uint32_t x, std::uint32_t y, std::uint32_t c) {
    const double px = sourcePosition(srcWidth, dstWidth, x);
    const double py = sourcePosition(srcHeight, dstHeight, y);
    const auto x0 = static_cast<std::uint32_t>(px);
    const auto y0 = static_cast<std::uint32_t>(py);
    const std::uint32_t x1 = std::min(x0 + 1, srcWidth - 1);
    const std::uint32_t y1 = std::min(y0 + 1, srcHeight - 1);
    const double fx = px - x0;
    const double fy = py - y0;
    const auto at = [&](std::uint32_t sx, std::uint32_t sy) {
        return static_cast<double>(plane[std::size_t{sy} * stride + sx * channels + c]);
    };
    const double top = at(x0, y0) * (1 - fx) + at(x1, y0) * fx;
    const double bottom = at(x0, y1) * (1 - fx) + at(x1, y1) * fx;
    return static_cast<std::uint8_t>(std::lround(top * (1 - fy) + bottom * fy));
}

struct Difference {
    int largest = 0;
    std::uint32_t x = 0;
    std::uint32_t y = 0;
};

// Largest difference between `result` and `expected(x, y, c)` over a plane of width x height samples.
template <class Expected>
Difference compareSamples(const std::uint8_t* result, std::uint32_t stride, std::uint32_t channels,
                          std::uint32_t width, std::uint32_t height, Expected expected) {
    Difference difference;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            for (std::uint32_t c = 0; c < channels; ++c) {
                const int d = std::abs(int{result[std::size_t{y} * stride + x * channels + c]} -
                                       int{expected(x, y, c)});
                if (d > difference.largest) {
                    difference = {d, x, y};
                }
            }
        }
    }
    return difference;
}

// A camera-like picture: smooth shading with a few sharp edges.
Picture shadedPicture(std::uint32_t width, std::uint32_t height) {
    Picture picture = Picture::nv12(width, height);
    for (std::uint32_t y = 0; y < height + height / 2; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const double shade = 120 + 80 * std::sin(x * 0.021) * std::cos(y * 0.013);
            picture.bytes[std::size_t{y} * width + x] =
                static_cast<std::uint8_t>(shade + ((x / 40 + y / 40) % 2) * 30);
        }
    }
    return picture;
}

// Scales `geometry` of `source` with `scaler` and checks both planes against the floating-point reference
// (fractions of 1/256 and a rounded intermediate row allow 2) and libyuv (which truncates its fractions to
// 1/128), and every byte around the destination picture against the guard value.
void expectScaledLikeReference(Nv12Scaler& scaler, const Geometry& geometry, Picture& source,
                               int libyuvTolerance) {
    SCOPED_TRACE(geometry.name);
    Picture result = guardedDestination(geometry.dstWidth, geometry.dstHeight);
    const Nv12Planes in = planesOf(source);
    const Nv12Planes out = planesOf(result);
    ASSERT_TRUE(scaler.scale(in, geometry.window, out));

    const mpu_vpc_crop_region& w = geometry.window;
    const std::uint8_t* luma = in.luma + std::size_t{w.top_offset} * in.stride + w.left_offset;
    const std::uint8_t* chroma =
        in.chroma + std::size_t{w.top_offset / 2} * in.stride + w.left_offset / 2 * 2;
    const std::uint32_t chromaWidth = (w.crop_width + 1) / 2;
    const std::uint32_t chromaHeight = (w.crop_height + 1) / 2;
    const std::uint32_t dw = geometry.dstWidth;
    const std::uint32_t dh = geometry.dstHeight;
    const Difference lumaToReference = compareSamples(
        out.luma, out.stride, 1, dw, dh, [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
            return referenceSample(luma, in.stride, 1, w.crop_width, w.crop_height, dw, dh, x, y, c);
        });
    EXPECT_LE(lumaToReference.largest, 2) << "luma at " << lumaToReference.x << "," << lumaToReference.y;
    const Difference chromaToReference = compareSamples(
        out.chroma, out.stride, 2, dw / 2, dh / 2, [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
            return referenceSample(chroma, in.stride, 2, chromaWidth, chromaHeight, dw / 2, dh / 2, x, y, c);
        });
    EXPECT_LE(chromaToReference.largest, 2)
        << "chroma at " << chromaToReference.x << "," << chromaToReference.y;

    Picture yuv = Picture::nv12(dw, dh);
    const Nv12Planes expected = planesOf(yuv);
    ASSERT_EQ(libyuv::NV12Scale(luma, static_cast<int>(in.stride), chroma, static_cast<int>(in.stride),
                                static_cast<int>(w.crop_width), static_cast<int>(w.crop_height),
                                expected.luma, static_cast<int>(expected.stride), expected.chroma,
                                static_cast<int>(expected.stride), static_cast<int>(dw), static_cast<int>(dh),
                                libyuv::kFilterBilinear),
              0);
    const auto fromLibyuv = [&](const std::uint8_t* plane, std::uint32_t channels) {
        return [plane, channels, &expected](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
            return plane[std::size_t{y} * expected.stride + x * channels + c];
        };
    };
    EXPECT_LE(compareSamples(out.luma, out.stride, 1, dw, dh, fromLibyuv(expected.luma, 1)).largest,
              libyuvTolerance);
    EXPECT_LE(
        compareSamples(out.chroma, out.stride, 2, dw / 2, dh / 2, fromLibyuv(expected.chroma, 2)).largest,
        libyuvTolerance);

    std::size_t written = 0;
    for (std::size_t i = 0; i < result.bytes.size(); ++i) {
        const std::size_t inPlaneRow = i % out.stride;
        const std::size_t row = i / out.stride;
        const bool inPicture = inPlaneRow < dw && row < dh + dh / 2;
        if (!inPicture) {
            ASSERT_EQ(result.bytes[i], kGuard) << "written outside the picture at byte " << i;
        } else {
            ++written;
        }
    }
    EXPECT_EQ(written, std::size_t{dw} * dh * 3 / 2);
}

// Noise shows a sample taken from the wrong place; libyuv's coarser fractions differ by up to 4 on it.
void expectNoiseScaledLikeReference(Nv12Scaler& scaler, const Geometry& geometry) {
    Picture source =
        noisePicture(geometry.srcWidth, geometry.srcHeight, geometry.srcWidth + geometry.dstWidth);
    expectScaledLikeReference(scaler, geometry, source, 4);
}

// Every instruction set also gives exactly the same bytes: the integer arithmetic is the same whatever the
// vector width.
TEST(Nv12ScalerTest, CoveredGeometriesMatchThePlainBilinearScaleOnEveryInstructionSet) {
    std::vector<std::vector<std::uint8_t>> first;
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        Nv12Scaler sut;
        for (std::size_t g = 0; g < std::size(kCovered); ++g) {
            const Geometry& geometry = kCovered[g];
            expectNoiseScaledLikeReference(sut, geometry);
            Picture source =
                noisePicture(geometry.srcWidth, geometry.srcHeight, geometry.srcWidth + geometry.dstWidth);
            Picture result = Picture::nv12(geometry.dstWidth, geometry.dstHeight);
            ASSERT_TRUE(sut.scale(planesOf(source), geometry.window, planesOf(result)));
            if (first.size() <= g) {
                first.push_back(result.bytes);
            } else {
                EXPECT_EQ(result.bytes, first[g]) << "geometry " << g;
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

TEST(Nv12ScalerTest, CameraLikePicturesMatchLibyuvWithinThree) {
    Nv12Scaler sut;
    for (const Geometry& geometry : kCovered) {
        Picture source = shadedPicture(geometry.srcWidth, geometry.srcHeight);
        expectScaledLikeReference(sut, geometry, source, 3);
    }
}

TEST(Nv12ScalerTest, TablesFollowAChangeOfGeometryAndBack) {
    Nv12Scaler sut;
    for (const Geometry& geometry : kCovered) {
        expectNoiseScaledLikeReference(sut, geometry);
    }
    for (auto geometry = std::rbegin(kCovered); geometry != std::rend(kCovered); ++geometry) {
        expectNoiseScaledLikeReference(sut, *geometry);
    }
}

TEST(Nv12ScalerTest, GeometriesItDoesNotCoverAreLeftUntouched) {
    const Geometry uncovered[] = {
        {"enlargement", 640, 360, {0, 0, 640, 360}, 1280, 720},
        {"wider only", 64, 64, {0, 0, 32, 64}, 48, 32},
        {"quarter size", 1920, 1080, {0, 0, 1920, 1080}, 480, 270},
        {"one chroma column", 16, 16, {4, 0, 2, 16}, 2, 8},
    };
    Nv12Scaler sut;
    for (const Geometry& geometry : uncovered) {
        SCOPED_TRACE(geometry.name);
        Picture source = noisePicture(geometry.srcWidth, geometry.srcHeight, 7);
        Picture result = guardedDestination(geometry.dstWidth, geometry.dstHeight);
        EXPECT_FALSE(sut.scale(planesOf(source), geometry.window, planesOf(result)));
        EXPECT_TRUE(std::all_of(result.bytes.begin(), result.bytes.end(),
                                [](std::uint8_t b) { return b == kGuard; }));
    }
}

// Geometries the vector scaler leaves to libyuv still reach the destination through a channel.
class CropResizeFallbackTest : public mpu_test::ChannelFixture {};

TEST_F(CropResizeFallbackTest, EnlargementAndLargeReductionAreStillScaled) {
    Picture frame = Picture::nv12(64, 64);
    frame.fill(90, 60, 200);
    for (const std::uint32_t side : {128u, 16u}) {
        SCOPED_TRACE(side);
        Picture out = Picture::nv12(side, side);
        mpu_vpc_crop_resize_region region{};
        region.dest_pic_info = out.info;
        region.crop_region = {0, 0, 64, 64};
        region.resize_info = {side, side, MPU_VPC_INTERPOLATION_BILINEAR};
        ASSERT_EQ(run([&](std::uint32_t* id) {
                      return mpu_vpc_crop_resize(channel, &frame.info, &region, 1, id, -1);
                  }),
                  MPU_OK);
        EXPECT_EQ(out.y(side - 1, side - 1), 90);
        EXPECT_EQ(out.uv(side / 2 - 1, 0, 0), 60);
        EXPECT_EQ(out.uv(0, side / 2 - 1, 1), 200);
    }
}

}  // namespace
