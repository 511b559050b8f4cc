#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "hwy/targets.h"
#include "media_test_support.h"
#include "mpu/mpu_dma.h"
#include "remap_scalar.h"
#include "remap_table.h"

namespace {

using mpu_test::Picture;

struct Maps {
    std::uint32_t width;
    std::uint32_t height;
    std::vector<float> x;
    std::vector<float> y;

    template <class Fn>
    static Maps make(std::uint32_t width, std::uint32_t height, Fn source) {
        Maps maps{width, height, std::vector<float>(std::size_t{width} * height),
                  std::vector<float>(std::size_t{width} * height)};
        for (std::uint32_t v = 0; v < height; ++v) {
            for (std::uint32_t u = 0; u < width; ++u) {
                double sx = 0;
                double sy = 0;
                source(u, v, &sx, &sy);
                maps.x[std::size_t{v} * width + u] = static_cast<float>(sx);
                maps.y[std::size_t{v} * width + u] = static_cast<float>(sy);
            }
        }
        return maps;
    }
};

// Barrel distortion of a pinhole camera, as a calibration would give it, viewed slightly wider than the
// camera so that the corners fall outside the picture.
Maps lensMaps(std::uint32_t width, std::uint32_t height) {
    const double f = 0.55 * width;
    const double cx = (width - 1) / 2.0;
    const double cy = (height - 1) / 2.0;
    return Maps::make(width, height, [&](std::uint32_t u, std::uint32_t v, double* x, double* y) {
        const double xn = (u - cx) / (0.7 * f);
        const double yn = (v - cy) / (0.7 * f);
        const double r2 = xn * xn + yn * yn;
        const double radial = 1.0 - 0.28 * r2 + 0.07 * r2 * r2;
        *x = f * (xn * radial + 0.001 * (r2 + 2 * xn * xn)) + cx;
        *y = f * (yn * radial + 0.001 * (r2 + 2 * yn * yn)) + cy;
    });
}

// A table built in media memory on a channel with a remap workspace.
class RemapTest : public mpu_test::ChannelFixture {
  protected:
    void TearDown() override {
        if (lut.lut_addr != nullptr) {
            mpu_dma_free(lut.lut_addr);
        }
        ChannelFixture::TearDown();
    }

    std::int32_t build(Maps& maps, std::uint32_t srcWidth, std::uint32_t srcHeight) {
        std::uint32_t size = 0;
        EXPECT_EQ(mpu_vpc_get_lut_mem_size(maps.width, maps.height, &size), MPU_OK);
        if (lut.lut_addr != nullptr) {
            mpu_dma_free(lut.lut_addr);
        }
        lut = {srcWidth, srcHeight, maps.width, maps.height, nullptr, size};
        EXPECT_EQ(mpu_dma_malloc(0, &lut.lut_addr, size), MPU_OK);
        const mpu_vpc_workspace workspace{MPU_VPC_WORKSPACE_REMAP, srcWidth, srcHeight, maps.width,
                                          maps.height};
        EXPECT_EQ(mpu_vpc_set_chn_workspace(channel, &workspace, 1), MPU_OK);
        mpu_remap_maps records{maps.x.data(), maps.y.data(), maps.width * maps.height * 4,
                               srcWidth,      srcHeight,     maps.width,
                               maps.height};
        return mpu_vpc_get_remap_lut(&records, &lut);
    }

    std::int32_t remap(const Picture& source, Picture& destination) {
        const mpu_warp_transform_param param{source.info, destination.info, MPU_VPC_INTERPOLATION_BILINEAR,
                                             1};
        return run([&](std::uint32_t* id) { return mpu_vpc_lut_remap(channel, &param, &lut, id, -1); });
    }

    // Remaps `source` into `destination` (both the same size) through a table that samples (u + dx, v + dy).
    void remapShifted(double dx, double dy, const Picture& source, Picture& destination) {
        const std::uint32_t width = source.info.picture_width;
        const std::uint32_t height = source.info.picture_height;
        Maps shifted =
            Maps::make(width, height, [dx, dy](std::uint32_t u, std::uint32_t v, double* x, double* y) {
                *x = u + dx;
                *y = v + dy;
            });
        ASSERT_EQ(build(shifted, width, height), MPU_OK);
        ASSERT_EQ(remap(source, destination), MPU_OK);
    }

    mpu_remap_lut lut{};
};

Picture randomPicture(std::uint32_t width, std::uint32_t height, unsigned seed) {
    Picture p = Picture::nv12(width, height);
    std::mt19937 random(seed);
    for (std::uint8_t& byte : p.bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return p;
}

// Gentle gradients: the 1/32-pixel positions of the table then stay within half a code value of the exact
// position's value.
Picture smoothPicture(std::uint32_t width, std::uint32_t height) {
    Picture p = Picture::nv12(width, height);
    for (std::uint32_t v = 0; v < height; ++v) {
        for (std::uint32_t u = 0; u < width; ++u) {
            p.y(u, v) = static_cast<std::uint8_t>(128 + 90 * std::sin(u * 0.02) * std::cos(v * 0.03));
        }
    }
    for (std::uint32_t j = 0; j < height / 2; ++j) {
        for (std::uint32_t i = 0; i < width / 2; ++i) {
            p.uv(i, j, 0) = static_cast<std::uint8_t>(128 + 60 * std::sin(i * 0.05 + j * 0.02));
            p.uv(i, j, 1) = static_cast<std::uint8_t>(128 + 60 * std::cos(i * 0.03 - j * 0.04));
        }
    }
    return p;
}

// Bilinear sample in floating point, neighbours outside the plane taken as `border`. The position is taken
// to 1/32 sample as the table holds it: where the picture fades into the black border a coarser or finer
// position moves the result by several code values.
double referenceSample(Picture& p, bool chroma, int component, double x, double y, double border) {
    x = std::nearbyint(x * 32) / 32;
    y = std::nearbyint(y * 32) / 32;
    const int width = static_cast<int>(p.info.picture_width) / (chroma ? 2 : 1);
    const int height = static_cast<int>(p.info.picture_height) / (chroma ? 2 : 1);
    const auto at = [&](int cx, int cy) -> double {
        if (cx < 0 || cy < 0 || cx >= width || cy >= height) {
            return border;
        }
        return chroma ? p.uv(cx, cy, component) : p.y(cx, cy);
    };
    const double x0 = std::floor(x);
    const double y0 = std::floor(y);
    const double fx = x - x0;
    const double fy = y - y0;
    const int ix = static_cast<int>(x0);
    const int iy = static_cast<int>(y0);
    return (at(ix, iy) * (1 - fx) + at(ix + 1, iy) * fx) * (1 - fy) +
           (at(ix, iy + 1) * (1 - fx) + at(ix + 1, iy + 1) * fx) * fy;
}

TEST_F(RemapTest, IdentityMapReproducesThePictureExactly) {
    // 200 is not a whole number of blocks: the row tails are covered too.
    Maps identity = Maps::make(200, 100, [](std::uint32_t u, std::uint32_t v, double* x, double* y) {
        *x = u;
        *y = v;
    });
    ASSERT_EQ(build(identity, 200, 100), MPU_OK);
    const Picture source = randomPicture(200, 100, 1);
    Picture out = Picture::nv12(200, 100);
    ASSERT_EQ(remap(source, out), MPU_OK);
    EXPECT_EQ(out.bytes, source.bytes);
}

TEST_F(RemapTest, OnePixelShiftMovesLumaByOneAndChromaByHalfASample) {
    Picture source = randomPicture(64, 32, 2);
    Picture out = Picture::nv12(64, 32);
    ASSERT_NO_FATAL_FAILURE(remapShifted(1.0, 0.0, source, out));
    for (std::uint32_t v = 0; v < 32; ++v) {
        for (std::uint32_t u = 0; u < 63; ++u) {
            ASSERT_EQ(out.y(u, v), source.y(u + 1, v)) << u << "," << v;
        }
        ASSERT_EQ(out.y(63, v), 16) << "beyond the right edge is black";
    }
    // Chroma sample i sits at luma 2i and samples luma 2i + 1: halfway between chroma samples i and i + 1.
    for (std::uint32_t j = 0; j < 16; ++j) {
        for (std::uint32_t i = 0; i < 31; ++i) {
            for (int c = 0; c < 2; ++c) {
                ASSERT_EQ(out.uv(i, j, c), (source.uv(i, j, c) + source.uv(i + 1, j, c) + 1) / 2)
                    << i << "," << j;
            }
        }
        ASSERT_EQ(out.uv(31, j, 0), (source.uv(31, j, 0) + 128 + 1) / 2) << "blends into neutral at the edge";
    }
}

TEST_F(RemapTest, ChromaFollowsTheChromaGeometry) {
    // Two luma pixels right and two down are exactly one chroma sample in each direction.
    Picture source = randomPicture(64, 32, 3);
    Picture out = Picture::nv12(64, 32);
    ASSERT_NO_FATAL_FAILURE(remapShifted(2.0, 2.0, source, out));
    for (std::uint32_t j = 0; j < 15; ++j) {
        for (std::uint32_t i = 0; i < 31; ++i) {
            ASSERT_EQ(out.uv(i, j, 0), source.uv(i + 1, j + 1, 0)) << i << "," << j;
            ASSERT_EQ(out.uv(i, j, 1), source.uv(i + 1, j + 1, 1)) << i << "," << j;
        }
    }
}

TEST_F(RemapTest, LensMapMatchesAFloatingPointReferenceWithinOneCodeValue) {
    const std::uint32_t width = 640;
    const std::uint32_t height = 360;
    Maps maps = lensMaps(width, height);
    ASSERT_EQ(build(maps, width, height), MPU_OK);
    Picture source = smoothPicture(width, height);
    Picture out = Picture::nv12(width, height);
    ASSERT_EQ(remap(source, out), MPU_OK);

    double worst = 0;
    for (std::uint32_t v = 0; v < height; ++v) {
        for (std::uint32_t u = 0; u < width; ++u) {
            const std::size_t i = std::size_t{v} * width + u;
            const double expected = referenceSample(source, false, 0, maps.x[i], maps.y[i], 16);
            worst = std::max(worst, std::abs(out.y(u, v) - expected));
        }
    }
    EXPECT_LE(worst, 1.0) << "luma";
    worst = 0;
    for (std::uint32_t j = 0; j < height / 2; ++j) {
        for (std::uint32_t i = 0; i < width / 2; ++i) {
            // Chroma sample (i, j) sits at luma (2i, 2j + 0.5): between map rows 2j and 2j + 1.
            const std::size_t upper = std::size_t{2 * j} * width + 2 * i;
            const std::size_t lower = upper + width;
            const double lumaX = (double{maps.x[upper]} + maps.x[lower]) / 2;
            const double lumaY = (double{maps.y[upper]} + maps.y[lower]) / 2;
            for (int c = 0; c < 2; ++c) {
                const double expected = referenceSample(source, true, c, lumaX / 2, (lumaY - 0.5) / 2, 128);
                worst = std::max(worst, std::abs(out.uv(i, j, c) - expected));
            }
        }
    }
    EXPECT_LE(worst, 1.0) << "chroma";
    EXPECT_EQ(out.y(0, 0), 16) << "the corners lie outside the camera's picture";
    EXPECT_EQ(out.uv(0, 0, 0), 128);
}

TEST_F(RemapTest, CoordinatesFarOutsideOrNotANumberGiveBlack) {
    Maps outside = Maps::make(32, 16, [](std::uint32_t u, std::uint32_t, double* x, double* y) {
        *x = u % 2 == 0 ? -1e9 : std::numeric_limits<double>::quiet_NaN();
        *y = 40.0;
    });
    ASSERT_EQ(build(outside, 32, 16), MPU_OK);
    Picture source = randomPicture(32, 16, 4);
    Picture out = Picture::nv12(32, 16);
    ASSERT_EQ(remap(source, out), MPU_OK);
    for (std::size_t i = 0; i < 32 * 16; ++i) {
        ASSERT_EQ(out.bytes[i], 16);
    }
    for (std::size_t i = 32 * 16; i < out.bytes.size(); ++i) {
        ASSERT_EQ(out.bytes[i], 128);
    }
}

// A table entry counts from its block's base in 10 bits: samples of one block up to 1022 source samples
// apart are exact, and a map whose neighbours lie further apart is drawn from clamped positions, never from
// outside the source.
TEST_F(RemapTest, SamplesFarApartInOneBlock) {
    const std::uint32_t srcWidth = 4096;
    const std::uint32_t srcHeight = 2048;
    const Picture source = randomPicture(srcWidth, srcHeight, 5);
    for (const double spread : {64.0, 200.0}) {
        SCOPED_TRACE(spread);
        // Along a row the samples jump by `spread` columns; down the columns, alternate rows jump by
        // `spread`.
        Maps far = Maps::make(32, 16, [spread](std::uint32_t u, std::uint32_t v, double* x, double* y) {
            *x = 10.25 + u * spread / 2 + (u % 2) * spread * 2;
            *y = 3.5 + (v % 2) * 10 * spread / 4 + (u % 4) * spread;
        });
        ASSERT_EQ(build(far, srcWidth, srcHeight), MPU_OK);
        Picture out = Picture::nv12(32, 16);
        ASSERT_EQ(remap(source, out), MPU_OK);
        Picture copy = source;
        int wrong = 0;
        for (std::uint32_t v = 0; v < 16; ++v) {
            for (std::uint32_t u = 0; u < 32; ++u) {
                const std::size_t i = std::size_t{v} * 32 + u;
                const double expected = referenceSample(copy, false, 0, far.x[i], far.y[i], 16);
                wrong += std::abs(out.y(u, v) - expected) > 0.5 ? 1 : 0;
            }
        }
        if (spread < 100) {
            EXPECT_EQ(wrong, 0) << "1022 samples apart at most: exact";
        } else {
            EXPECT_GT(wrong, 0) << "further apart: clamped";
        }
    }
}

TEST_F(RemapTest, RefusesTablesAndPicturesThatDoNotFit) {
    Maps identity = Maps::make(64, 32, [](std::uint32_t u, std::uint32_t v, double* x, double* y) {
        *x = u;
        *y = v;
    });
    mpu_remap_maps records{identity.x.data(), identity.y.data(), 64 * 32 * 4 - 4, 64, 32, 64, 32};
    std::vector<std::uint8_t> memory(64);
    mpu_remap_lut small{64, 32, 64, 32, memory.data(), 64};
    EXPECT_EQ(mpu_vpc_get_remap_lut(&records, &small), MPU_ERR_ILLEGAL_PARAM) << "map size";
    records.map_size += 4;
    EXPECT_EQ(mpu_vpc_get_remap_lut(&records, &small), MPU_ERR_BAD_TABLE) << "table memory too small";
    small.lut_addr = nullptr;
    EXPECT_EQ(mpu_vpc_get_remap_lut(&records, &small), MPU_ERR_BAD_TABLE) << "no table memory";

    Picture source = randomPicture(64, 32, 5);
    Picture out = Picture::nv12(64, 32);
    std::uint32_t size = 0;
    ASSERT_EQ(mpu_vpc_get_lut_mem_size(64, 32, &size), MPU_OK);
    std::vector<std::uint8_t> unbuilt(size);
    lut = {64, 32, 64, 32, unbuilt.data(), size};
    const mpu_vpc_workspace workspace{MPU_VPC_WORKSPACE_REMAP, 64, 32, 64, 32};
    ASSERT_EQ(mpu_vpc_set_chn_workspace(channel, &workspace, 1), MPU_OK);
    EXPECT_EQ(remap(source, out), MPU_ERR_BAD_TABLE) << "nothing built in the memory";
    lut = {};

    ASSERT_EQ(build(identity, 64, 32), MPU_OK);
    Picture wrongSize = Picture::nv12(32, 32);
    EXPECT_EQ(remap(source, wrongSize), MPU_ERR_BAD_TABLE);
    mpu_warp_transform_param nearest{source.info, out.info, MPU_VPC_INTERPOLATION_NEAREST, 1};
    std::uint32_t id = 0;
    EXPECT_EQ(mpu_vpc_lut_remap(channel, &nearest, &lut, &id, -1), MPU_ERR_NOT_SUPPORTED);

    const mpu_vpc_workspace tooSmall{MPU_VPC_WORKSPACE_REMAP, 32, 32, 32, 32};
    ASSERT_EQ(mpu_vpc_set_chn_workspace(channel, &tooSmall, 1), MPU_OK);
    EXPECT_EQ(remap(source, out), MPU_ERR_NO_WORKSPACE);
}

// The vector kernels of every instruction set this machine runs give exactly the sample-by-sample result,
// through every kind of block: a lens map has blocks of a few rows (kRows), a map turned a little blocks of
// up to kMaxRowSpan + 2 rows, one turned more blocks spanning many rows (kInside, gathered), and all have
// border and outside blocks; the turned maps are lines throughout, the lens map at this small size bends too
// much for many of its blocks, and a map with a ripple is a line nowhere.
TEST(RemapKernelsTest, EveryInstructionSetMatchesTheSampleBySamplePath) {
    namespace remap = mpu::internal::remap;
    const std::uint32_t width = 336;  // 21 blocks and no tail
    const std::uint32_t height = 120;
    const auto turnedBy = [&](double angle) {
        return Maps::make(width, height, [&](std::uint32_t u, std::uint32_t v, double* x, double* y) {
            const double cu = u - width / 2.0;
            const double cv = v - height / 2.0;
            *x = width / 2.0 + 0.8 * (cu * std::cos(angle) - cv * std::sin(angle));
            *y = height / 2.0 + 0.8 * (cu * std::sin(angle) + cv * std::cos(angle));
        });
    };
    Maps lens = lensMaps(width, height);
    Maps tilted = turnedBy(0.2);
    Maps turned = turnedBy(0.5);
    Maps rippled = Maps::make(width, height, [](std::uint32_t u, std::uint32_t v, double* x, double* y) {
        *x = 4.0 + 0.9 * u + 0.6 * std::sin(u * 0.9);
        *y = 6.0 + 0.9 * v + 0.6 * std::cos(u * 0.7);
    });
    std::map<int, int> kinds;
    std::map<bool, int> linear;
    for (Maps* maps : {&lens, &tilted, &turned, &rippled}) {
        mpu_remap_maps records{maps->x.data(), maps->y.data(), width * height * 4, width, height,
                               width,          height};
        std::vector<std::uint8_t> memory(remap::tableSize(width, height));
        remap::buildTable(records, memory.data());
        const auto viewed = remap::viewTable(memory.data(), memory.size(), width, height, width, height);
        ASSERT_TRUE(viewed);
        const remap::TableView& view = viewed.Value();
        for (const remap::PlaneTable* plane : {&view.luma, &view.chroma}) {
            for (std::uint32_t b = 0; b < plane->blocksPerRow * plane->height; ++b) {
                ++kinds[plane->blocks[b] & remap::kKindMask];
                ++linear[(plane->blocks[b] & remap::kLinear) != 0];
            }
        }

        Picture source = randomPicture(width, height, 6);
        Picture expected = Picture::nv12(width, height);
        const auto* luma = source.bytes.data();
        const auto* chroma = luma + std::size_t{width} * height;
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                remap::remapSampleAt(view.luma, {luma, width}, x, y, 1, 16, &expected.y(x, y));
            }
        }
        for (std::uint32_t j = 0; j < height / 2; ++j) {
            for (std::uint32_t i = 0; i < width / 2; ++i) {
                remap::remapSampleAt(view.chroma, {chroma, width}, i, j, 2, 128, &expected.uv(i, j, 0));
            }
        }

        for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
            hwy::SetSupportedTargetsForTest(target);
            SCOPED_TRACE(hwy::TargetName(target));
            Picture out = Picture::nv12(width, height);
            remap::remapLumaPlane(view.luma, {luma, width}, {out.bytes.data(), width});
            remap::remapChromaPlane(view.chroma, {chroma, width},
                                    {out.bytes.data() + std::size_t{width} * height, width});
            EXPECT_EQ(out.bytes, expected.bytes);
        }
        hwy::SetSupportedTargetsForTest(0);
    }
    for (int kind = remap::kInside; kind <= remap::kRows + remap::kMaxRowSpan; ++kind) {
        EXPECT_GT(kinds[kind], 0) << "no block of kind " << kind;
    }
    EXPECT_GT(linear[true], 0) << "no block held as a line";
    EXPECT_GT(linear[false], 0) << "no block held sample by sample";
}

}  // namespace
