#pragma once

// NV12 to packed 8-bit RGB in one pass over memory: BT.601 limited range (a code value Y of 16 is black and
// 235 white; U and V of 128 carry no colour), in 16-bit fixed point with 6 fraction bits. Every target of the
// vector kernel and the sample-by-sample path give the same bytes.

#include <cstdint>

namespace mpu::internal::colour {

// The order of the three bytes of a pixel in memory.
enum class Order { kBgr, kRgb };

struct Nv12Source {
    const std::uint8_t* luma;
    const std::uint8_t* chroma;  // interleaved U, V; one row for two luma rows
    std::uint32_t lumaStride;
    std::uint32_t chromaStride;
};

struct PackedDestination {
    std::uint8_t* data;
    std::uint32_t stride;
    Order order;
};

// Converts a width x height picture; odd sizes take the last chroma pair and row for the last column and row.
void nv12ToPacked(const Nv12Source& source, std::uint32_t width, std::uint32_t height,
                  const PackedDestination& destination);

// One pixel, for the vector kernel's tail and for tests: {first, second, third} byte in `order`.
void pixelOf(std::uint8_t y, std::uint8_t u, std::uint8_t v, Order order, std::uint8_t* out);

}  // namespace mpu::internal::colour
