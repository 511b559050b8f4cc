#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "colour_kernels.h"
#include "hwy/targets.h"

namespace {

using mpu::internal::colour::Nv12Source;
using mpu::internal::colour::Order;
using mpu::internal::colour::PackedDestination;

struct Geometry {
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t stride;        // of the source planes
    std::uint32_t packedStride;  // of the destination
    std::uint32_t packedOffset;  // of the destination's first byte from a cache line
};

// Every target's vectors, the tail's pixels and the rows' sharing of chroma give what the pixel-by-pixel
// conversion gives: odd sizes, a destination that does not start on a cache line and one that does (whose
// rows are written with streaming stores), BGR and RGB.
TEST(ColourKernelsTest, EveryTargetGivesThePixelByPixelResult) {
    const Geometry geometries[] = {{201, 5, 208, 3 * 201 + 5, 3}, {256, 4, 256, 768, 0}, {6, 3, 8, 18, 0}};
    std::mt19937 random(5);
    for (const Geometry& g : geometries) {
        std::vector<std::uint8_t> luma(std::size_t{g.stride} * g.height);
        std::vector<std::uint8_t> chroma(std::size_t{g.stride} * ((g.height + 1) / 2));
        for (std::uint8_t& sample : luma) {
            sample = static_cast<std::uint8_t>(random());
        }
        for (std::uint8_t& sample : chroma) {
            sample = static_cast<std::uint8_t>(random());
        }
        const std::size_t bytes = std::size_t{g.packedStride} * g.height;
        for (const Order order : {Order::kBgr, Order::kRgb}) {
            std::vector<std::uint8_t> expected(bytes, 0xEE);
            for (std::uint32_t y = 0; y < g.height; ++y) {
                for (std::uint32_t x = 0; x < g.width; ++x) {
                    const std::uint8_t* pair = &chroma[y / 2 * g.stride + x / 2 * 2];
                    mpu::internal::colour::pixelOf(luma[y * g.stride + x], pair[0], pair[1], order,
                                                   &expected[y * g.packedStride + 3 * x]);
                }
            }
            for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
                hwy::SetSupportedTargetsForTest(target);
                SCOPED_TRACE(testing::Message() << hwy::TargetName(target) << ", " << g.width << " x "
                                                << g.height << (order == Order::kBgr ? ", BGR" : ", RGB"));
                const std::unique_ptr<std::uint8_t, decltype(&std::free)> memory(
                    static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes + 127) / 64 * 64)), &std::free);
                std::uint8_t* packed = memory.get() + g.packedOffset;
                std::fill(packed, packed + bytes, std::uint8_t{0xEE});
                mpu::internal::colour::nv12ToPacked(
                    Nv12Source{luma.data(), chroma.data(), g.stride, g.stride}, g.width, g.height,
                    PackedDestination{packed, g.packedStride, order});
                EXPECT_EQ(std::vector<std::uint8_t>(packed, packed + bytes), expected)
                    << "the gaps between rows stay untouched, every pixel as converted alone";
            }
            hwy::SetSupportedTargetsForTest(0);
        }
    }
}

}  // namespace
