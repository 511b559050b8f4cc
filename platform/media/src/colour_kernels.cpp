// The NV12 to packed RGB kernel, compiled once per instruction set (Highway's dynamic dispatch). Two luma
// rows share their chroma row, so each chroma pair's terms are worked out once for the four pixels it
// colours. A vector of pixels is converted in 16-bit lanes and stored three bytes a pixel by one interleaving
// store: one pass over the picture, no row in between.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "colour_kernels.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
// Must come after foreach_target.h.
#include "hwy/cache_control.h"
#include "hwy/highway.h"

#include <algorithm>
#include <cstdint>

#include "colour_kernels.h"

#ifndef MPU_COLOUR_KERNELS_ONCE
#define MPU_COLOUR_KERNELS_ONCE
namespace mpu::internal::colour {
namespace {

// The BT.601 limited-range matrix in 1/64: Y' = 1.164 (Y - 16), R = Y' + 1.596 V', G = Y' - 0.392 U' -
// 0.813 V', B = Y' + 2.017 U', where U' and V' are U and V less 128. Y' is (Y x 149) / 2 less 16 x 74.5.
constexpr int kYScale = 149;  // x 1/2
constexpr int kYBias = 16 * kYScale / 2;
constexpr int kVToR = 102;
constexpr int kUToG = 25;
constexpr int kVToG = 52;
constexpr int kUToB = 129;
constexpr int kRound = 32;
constexpr int kFractionBits = 6;

// What 16-bit saturating arithmetic gives, which the vector kernel uses.
int SaturatedSum(int a, int b) {
    return std::clamp(a + b, -32768, 32767);
}

std::uint8_t ToByte(int sum) {
    return static_cast<std::uint8_t>(std::clamp(SaturatedSum(sum, kRound) >> kFractionBits, 0, 255));
}

}  // namespace

void pixelOf(std::uint8_t y, std::uint8_t u, std::uint8_t v, Order order, std::uint8_t* out) {
    const int luma = (y * kYScale >> 1) - kYBias;
    const int cu = u - 128;
    const int cv = v - 128;
    const std::uint8_t r = ToByte(SaturatedSum(luma, cv * kVToR));
    const std::uint8_t g = ToByte(SaturatedSum(luma, -(cu * kUToG + cv * kVToG)));
    const std::uint8_t b = ToByte(SaturatedSum(luma, cu * kUToB));
    out[0] = order == Order::kBgr ? b : r;
    out[1] = g;
    out[2] = order == Order::kBgr ? r : b;
}

}  // namespace mpu::internal::colour
#endif  // MPU_COLOUR_KERNELS_ONCE

HWY_BEFORE_NAMESPACE();
namespace mpu::internal::colour {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// One lane is no vector: the pixel-by-pixel path does it all.
void ConvertRows(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint8_t*,
                 std::uint32_t, Order, std::uint32_t* done) {
    *done = 0;
}

#else

using D8 = hn::ScalableTag<std::uint8_t>;
using D8Half = hn::Half<D8>;
using D16 = hn::Rebind<std::uint16_t, D8Half>;  // a whole vector, as many lanes as half a byte vector
using DI16 = hn::RebindToSigned<D16>;
using D32 = hn::Repartition<std::uint32_t, D16>;
using VI16 = hn::Vec<DI16>;

// The chroma of half a vector's pixels, from their half as many pairs: U and V of pair k come as 32-bit lane
// k (U low); each is spread over both 16-bit halves, lining up with the pair's two pixels. Less 128.
HWY_INLINE void ChromaOf(const std::uint8_t* pairs, VI16* cu, VI16* cv) {
    const D16 d16;
    const DI16 di16;
    const D32 d32;
    const auto uv = hn::BitCast(d32, hn::PromoteTo(d16, hn::LoadU(D8Half(), pairs)));
    const auto u = hn::And(uv, hn::Set(d32, 0xFFFFu));
    const auto v = hn::ShiftRight<16>(uv);
    const auto centre = hn::Set(di16, 128);
    *cu = hn::Sub(hn::BitCast(di16, hn::Or(u, hn::ShiftLeft<16>(u))), centre);
    *cv = hn::Sub(hn::BitCast(di16, hn::Or(v, hn::ShiftLeft<16>(v))), centre);
}

HWY_INLINE VI16 LumaOf(const std::uint8_t* row) {
    const D16 d16;
    const DI16 di16;
    const auto y = hn::Mul(hn::PromoteTo(d16, hn::LoadU(D8Half(), row)), hn::Set(d16, kYScale));
    return hn::Sub(hn::BitCast(di16, hn::ShiftRight<1>(y)), hn::Set(di16, kYBias));
}

HWY_INLINE hn::Vec<D8Half> Channel(VI16 luma, VI16 term) {
    const auto sum = hn::SaturatedAdd(hn::SaturatedAdd(luma, term), hn::Set(DI16(), kRound));
    return hn::DemoteTo(D8Half(), hn::ShiftRight<kFractionBits>(sum));
}

#if HWY_TARGET == HWY_AVX3_DL
// With VBMI the three planes of 64 pixels become their 192 interleaved bytes by two byte permutes per output
// vector: the first and second byte of each pixel from two planes, then the third merged in. The vectors go
// straight to memory (streaming stores) where the row allows it: the picture is written, not read back here.
struct Interleave {
    alignas(64) std::uint8_t pick[3][64];   // per output vector: first plane 0..63, second 64..127
    alignas(64) std::uint8_t third[3][64];  // the third plane's byte for the masked lanes
    std::uint64_t thirdLanes[3];
};

constexpr Interleave MakeInterleave() {
    Interleave t{};
    for (int k = 0; k < 3; ++k) {
        for (int j = 0; j < 64; ++j) {
            const int byte = 64 * k + j;
            const int pixel = byte / 3;
            const int channel = byte % 3;
            t.pick[k][j] = static_cast<std::uint8_t>(channel == 1 ? 64 + pixel : pixel);
            t.third[k][j] = static_cast<std::uint8_t>(pixel);
            if (channel == 2) {
                t.thirdLanes[k] |= std::uint64_t{1} << j;
            }
        }
    }
    return t;
}

HWY_INLINE void StorePixels(hn::Vec<D8> first, hn::Vec<D8> second, hn::Vec<D8> third, bool stream,
                            std::uint8_t* out) {
    static constexpr Interleave kInterleave = MakeInterleave();
    for (int k = 0; k < 3; ++k) {
        const __m512i pairs = _mm512_permutex2var_epi8(
            first.raw, _mm512_load_si512(static_cast<const void*>(kInterleave.pick[k])), second.raw);
        const __m512i bytes = _mm512_mask_permutexvar_epi8(
            pairs, kInterleave.thirdLanes[k],
            _mm512_load_si512(static_cast<const void*>(kInterleave.third[k])), third.raw);
        if (stream) {
            _mm512_stream_si512(reinterpret_cast<__m512i*>(out + 64 * k), bytes);
        } else {
            _mm512_storeu_si512(static_cast<void*>(out + 64 * k), bytes);
        }
    }
}
#else
HWY_INLINE void StorePixels(hn::Vec<D8> first, hn::Vec<D8> second, hn::Vec<D8> third, bool /*stream*/,
                            std::uint8_t* out) {
    hn::StoreInterleaved3(first, second, third, D8(), out);
}
#endif

// One vector of pixels of one row, from the chroma terms of its lower and upper half.
HWY_INLINE void ConvertVector(const std::uint8_t* row, VI16 rLow, VI16 gLow, VI16 bLow, VI16 rHigh,
                              VI16 gHigh, VI16 bHigh, Order order, bool stream, std::uint8_t* out) {
    const D8 d8;
    const std::size_t half = hn::Lanes(D8Half());
    const VI16 yLow = LumaOf(row);
    const VI16 yHigh = LumaOf(row + half);
    const auto r = hn::Combine(d8, Channel(yHigh, rHigh), Channel(yLow, rLow));
    const auto g = hn::Combine(d8, Channel(yHigh, gHigh), Channel(yLow, gLow));
    const auto b = hn::Combine(d8, Channel(yHigh, bHigh), Channel(yLow, bLow));
    if (order == Order::kBgr) {
        StorePixels(b, g, r, stream, out);
    } else {
        StorePixels(r, g, b, stream, out);
    }
}

// Converts pixels [0, end) of one or two luma rows sharing a chroma row (`bottom` null for one), a vector's
// worth at a time; `done` receives how many it did.
void ConvertRows(const std::uint8_t* top, const std::uint8_t* bottom, const std::uint8_t* chroma,
                 std::uint8_t* outTop, std::uint8_t* outBottom, std::uint32_t end, Order order,
                 std::uint32_t* done) {
    const DI16 di16;
    const std::uint32_t lanes = static_cast<std::uint32_t>(hn::Lanes(D8()));
    const std::uint32_t half = lanes / 2;
    const auto vToR = hn::Set(di16, kVToR);
    const auto uToG = hn::Set(di16, kUToG);
    const auto vToG = hn::Set(di16, kVToG);
    const auto uToB = hn::Set(di16, kUToB);
    // Rows that start on a cache line keep every vector on one (3 x 64 bytes a vector of pixels).
    const auto lineAligned = [](const std::uint8_t* p) {
        return reinterpret_cast<std::uintptr_t>(p) % 64 == 0;
    };
    const bool streamTop = lineAligned(outTop);
    const bool streamBottom = outBottom != nullptr && lineAligned(outBottom);
    std::uint32_t x = 0;
    for (; x + lanes <= end; x += lanes) {
        VI16 cuLow = hn::Zero(di16);
        VI16 cvLow = hn::Zero(di16);
        VI16 cuHigh = hn::Zero(di16);
        VI16 cvHigh = hn::Zero(di16);
        ChromaOf(chroma + x, &cuLow, &cvLow);
        ChromaOf(chroma + x + half, &cuHigh, &cvHigh);
        const VI16 rLow = hn::Mul(cvLow, vToR);
        const VI16 gLow = hn::Neg(hn::Add(hn::Mul(cuLow, uToG), hn::Mul(cvLow, vToG)));
        const VI16 bLow = hn::Mul(cuLow, uToB);
        const VI16 rHigh = hn::Mul(cvHigh, vToR);
        const VI16 gHigh = hn::Neg(hn::Add(hn::Mul(cuHigh, uToG), hn::Mul(cvHigh, vToG)));
        const VI16 bHigh = hn::Mul(cuHigh, uToB);
        ConvertVector(top + x, rLow, gLow, bLow, rHigh, gHigh, bHigh, order, streamTop, outTop + 3 * x);
        if (bottom != nullptr) {
            ConvertVector(bottom + x, rLow, gLow, bLow, rHigh, gHigh, bHigh, order, streamBottom,
                          outBottom + 3 * x);
        }
    }
    *done = x;
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace mpu::internal::colour
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mpu::internal::colour {

HWY_EXPORT(ConvertRows);

void nv12ToPacked(const Nv12Source& source, std::uint32_t width, std::uint32_t height,
                  const PackedDestination& destination) {
    // Whole pairs for the vectors; the tail, an odd last column included (its chroma pair is the row's
    // last), pixel by pixel.
    const std::uint32_t even = width & ~1u;
    for (std::uint32_t y = 0; y < height; y += 2) {
        const std::uint8_t* top = source.luma + std::uint64_t{y} * source.lumaStride;
        const std::uint8_t* bottom = y + 1 < height ? top + source.lumaStride : nullptr;
        const std::uint8_t* chroma = source.chroma + std::uint64_t{y / 2} * source.chromaStride;
        std::uint8_t* outTop = destination.data + std::uint64_t{y} * destination.stride;
        std::uint8_t* outBottom = bottom != nullptr ? outTop + destination.stride : nullptr;
        std::uint32_t done = 0;
        HWY_DYNAMIC_DISPATCH(ConvertRows)
        (top, bottom, chroma, outTop, outBottom, even, destination.order, &done);
        for (std::uint32_t x = done; x < width; ++x) {
            const std::uint32_t pair = x / 2 * 2;
            pixelOf(top[x], chroma[pair], chroma[pair + 1], destination.order, outTop + 3 * x);
            if (bottom != nullptr) {
                pixelOf(bottom[x], chroma[pair], chroma[pair + 1], destination.order, outBottom + 3 * x);
            }
        }
    }
    // Orders the streaming stores before whatever the thread does next (the task's completion).
    hwy::FlushStream();
}

}  // namespace mpu::internal::colour
#endif  // HWY_ONCE
