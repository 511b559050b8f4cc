// Vector kernels of the remap, compiled once per instruction set (Highway's dynamic dispatch): the same code
// runs on the vehicle's AArch64 (NEON/SVE) and on x86 (SSE4, AVX2, AVX-512), choosing the best set at run
// time. The remap is the hottest code of the media unit, so the inside blocks, which are nearly all of a
// picture, are done without any bounds check: two 32-bit gathers fetch each sample's 2 x 2 neighbourhood and
// the bilinear weights are applied in 16- and 32-bit integer lanes, giving exactly remapSample's result.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "remap_kernel.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
// Must come after foreach_target.h.
#include "hwy/cache_control.h"
#include "hwy/highway.h"

#include <cstring>

#include "remap_scalar.h"
#include "remap_table.h"

HWY_BEFORE_NAMESPACE();
namespace mpu::internal::remap {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold the 16-bit pairs the vector path works on: this fallback (old compilers without a
// usable 128-bit emulation) goes sample by sample.
void remapPlaneBySample(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination, int channels,
                        std::uint8_t border) {
    for (std::uint32_t y = 0; y < table.height; ++y) {
        const std::uint64_t rowStart = std::uint64_t{y} * table.width;
        std::uint8_t* out = destination.data + std::uint64_t{y} * destination.stride;
        for (std::uint32_t x = 0; x < table.width; ++x) {
            remapSample(table, source, table.position[rowStart + x], table.fraction[rowStart + x], channels,
                        border, out + x * channels);
        }
    }
}

void RemapLumaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    remapPlaneBySample(table, source, destination, 1, kLumaBlack);
}

void RemapChromaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    remapPlaneBySample(table, source, destination, 2, kChromaNeutral);
}

#else

// The source lines a row will read lie along a curve through many source rows, which the hardware
// prefetchers cannot follow; so each block asks for the lines of the block a few rows further down.
constexpr std::uint32_t kPrefetchRows = 4;

HWY_INLINE void PrefetchNeighbourhood(PlaneRef source, std::int32_t position, std::uint32_t bytesPerSample) {
    const std::int32_t x = static_cast<std::int16_t>(position & 0xFFFF);
    const std::int32_t y = position >> 16;
    if (x >= 0 && y >= 0) {
        const std::uint8_t* line = source.data + static_cast<std::uint64_t>(y) * source.stride +
                                   static_cast<std::uint64_t>(x) * bytesPerSample;
        hwy::Prefetch(line);
        hwy::Prefetch(line + source.stride);
    }
}

// At most one block per vector, so a block is always a whole number of vectors.
using D32 = hn::CappedTag<std::int32_t, kBlockSamples>;

template <class D>
struct Lanes {
    using DI16 = hn::Repartition<std::int16_t, D>;
    using DU16 = hn::Repartition<std::uint16_t, D>;
    using DHalf16 = hn::Rebind<std::uint16_t, D>;  // one uint16 per 32-bit lane
    using DU8 = hn::Rebind<std::uint8_t, D>;       // one byte per 32-bit lane
};

// Horizontal step in 16-bit lanes: each 16-bit lane holds a neighbour pair (low byte first); the result is
// first * (32 - fx) + second * fx, at most 255 * 32.
template <class D>
HWY_INLINE hn::Vec<typename Lanes<D>::DI16> LerpPairs(hn::Vec<D> pairs, hn::Vec<D> fx) {
    const typename Lanes<D>::DI16 d16;
    const typename Lanes<D>::DU16 du16;
    const auto fx16 = hn::BitCast(d16, hn::Or(fx, hn::ShiftLeft<16>(fx)));
    const auto p16 = hn::BitCast(d16, pairs);
    const auto first = hn::And(p16, hn::Set(d16, 0x00FF));
    const auto second = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, p16)));
    return hn::Add(hn::ShiftLeft<kFractionBits>(first), hn::Mul(hn::Sub(second, first), fx16));
}

// Vertical step in 32-bit lanes: top * (32 - fy) + bottom * fy, rounded and scaled back to a code value.
template <class D>
HWY_INLINE hn::Vec<D> LerpRows(D d, hn::Vec<D> top, hn::Vec<D> bottom, hn::Vec<D> fy) {
    const auto sum = hn::Add(hn::ShiftLeft<kFractionBits>(top), hn::Mul(hn::Sub(bottom, top), fy));
    return hn::ShiftRight<2 * kFractionBits>(hn::Add(sum, hn::Set(d, 1 << (2 * kFractionBits - 1))));
}

void RemapLumaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    const D32 d;
    const typename Lanes<D32>::DHalf16 dHalf16;
    const typename Lanes<D32>::DU8 du8;
    const std::size_t lanes = hn::Lanes(d);
    const auto* base = reinterpret_cast<const std::int32_t*>(source.data);
    const auto stride = hn::Set(d, static_cast<std::int32_t>(source.stride));
    const auto low16 = hn::Set(d, 0xFFFF);
    const auto low8 = hn::Set(d, 0xFF);

    for (std::uint32_t y = 0; y < table.height; ++y) {
        const std::uint64_t rowStart = std::uint64_t{y} * table.width;
        const std::int32_t* position = table.position + rowStart;
        const std::uint16_t* fraction = table.fraction + rowStart;
        const std::uint8_t* blocks = table.blocks + std::uint64_t{y} * table.blocksPerRow;
        std::uint8_t* out = destination.data + std::uint64_t{y} * destination.stride;
        const std::int32_t* ahead =
            y + kPrefetchRows < table.height ? position + kPrefetchRows * table.width : nullptr;

        for (std::uint32_t b = 0; b < table.blocksPerRow; ++b) {
            const std::uint32_t x0 = b * kBlockSamples;
            if (ahead != nullptr) {
                PrefetchNeighbourhood(source, ahead[x0], 1);
            }
            if (blocks[b] == kOutside) {
                std::memset(out + x0, kLumaBlack, kBlockSamples);
                continue;
            }
            if (blocks[b] == kBorder) {
                for (std::uint32_t x = x0; x < x0 + kBlockSamples; ++x) {
                    remapSample(table, source, position[x], fraction[x], 1, kLumaBlack, out + x);
                }
                continue;
            }
            for (std::uint32_t x = x0; x < x0 + kBlockSamples; x += lanes) {
                const auto packed = hn::LoadU(d, position + x);
                const auto frac = hn::PromoteTo(d, hn::LoadU(dHalf16, fraction + x));
                const auto offset =
                    hn::Add(hn::And(packed, low16), hn::Mul(hn::ShiftRight<16>(packed), stride));
                const auto upper = hn::GatherOffset(d, base, offset);
                const auto lower = hn::GatherOffset(d, base, hn::Add(offset, stride));
                // Both rows' pairs in one vector: upper pair in the low 16 bits, lower pair in the high ones.
                const auto pairs = hn::Or(hn::And(upper, low16), hn::ShiftLeft<16>(lower));
                const auto rows = hn::BitCast(d, LerpPairs<D32>(pairs, hn::And(frac, low8)));
                const auto value =
                    LerpRows(d, hn::And(rows, low16), hn::ShiftRight<16>(rows), hn::ShiftRight<8>(frac));
                hn::StoreU(hn::DemoteTo(du8, value), du8, out + x);
            }
        }
        for (std::uint32_t x = table.blocksPerRow * kBlockSamples; x < table.width; ++x) {
            remapSample(table, source, position[x], fraction[x], 1, kLumaBlack, out + x);
        }
    }
}

void RemapChromaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    const D32 d;
    const typename Lanes<D32>::DHalf16 dHalf16;
    const hn::Repartition<std::uint8_t, D32> dBytes;
    const std::size_t lanes = hn::Lanes(d);
    const auto* base = reinterpret_cast<const std::int32_t*>(source.data);
    const auto stride = hn::Set(d, static_cast<std::int32_t>(source.stride));
    const auto low16 = hn::Set(d, 0xFFFF);
    const auto low8 = hn::Set(d, 0xFF);
    // A gathered 32-bit lane holds U0 V0 U1 V1; reordered to U0 U1 V0 V1 it is two neighbour pairs.
    alignas(16) static constexpr std::uint8_t kPairOrder[16] = {0, 2,  1, 3,  4,  6,  5,  7,
                                                                8, 10, 9, 11, 12, 14, 13, 15};
    const auto pairOrder = hn::LoadDup128(dBytes, kPairOrder);
    const auto toPairs = [&](hn::Vec<D32> gathered) {
        return hn::BitCast(d, hn::TableLookupBytes(hn::BitCast(dBytes, gathered), pairOrder));
    };

    for (std::uint32_t y = 0; y < table.height; ++y) {
        const std::uint64_t rowStart = std::uint64_t{y} * table.width;
        const std::int32_t* position = table.position + rowStart;
        const std::uint16_t* fraction = table.fraction + rowStart;
        const std::uint8_t* blocks = table.blocks + std::uint64_t{y} * table.blocksPerRow;
        std::uint8_t* out = destination.data + std::uint64_t{y} * destination.stride;
        const std::int32_t* ahead =
            y + kPrefetchRows < table.height ? position + kPrefetchRows * table.width : nullptr;

        for (std::uint32_t b = 0; b < table.blocksPerRow; ++b) {
            const std::uint32_t x0 = b * kBlockSamples;
            if (ahead != nullptr) {
                PrefetchNeighbourhood(source, ahead[x0], 2);
            }
            if (blocks[b] == kOutside) {
                std::memset(out + 2 * x0, kChromaNeutral, 2 * kBlockSamples);
                continue;
            }
            if (blocks[b] == kBorder) {
                for (std::uint32_t x = x0; x < x0 + kBlockSamples; ++x) {
                    remapSample(table, source, position[x], fraction[x], 2, kChromaNeutral, out + 2 * x);
                }
                continue;
            }
            for (std::uint32_t x = x0; x < x0 + kBlockSamples; x += lanes) {
                const auto packed = hn::LoadU(d, position + x);
                const auto frac = hn::PromoteTo(d, hn::LoadU(dHalf16, fraction + x));
                const auto offset = hn::Add(hn::ShiftLeft<1>(hn::And(packed, low16)),
                                            hn::Mul(hn::ShiftRight<16>(packed), stride));
                const auto upper = toPairs(hn::GatherOffset(d, base, offset));
                const auto lower = toPairs(hn::GatherOffset(d, base, hn::Add(offset, stride)));
                const auto fx = hn::And(frac, low8);
                const auto fy = hn::ShiftRight<8>(frac);
                // Each result holds the U sum in its low 16 bits and the V sum in its high ones.
                const auto top = hn::BitCast(d, LerpPairs<D32>(upper, fx));
                const auto bottom = hn::BitCast(d, LerpPairs<D32>(lower, fx));
                const auto u = LerpRows(d, hn::And(top, low16), hn::And(bottom, low16), fy);
                const auto v = LerpRows(d, hn::ShiftRight<16>(top), hn::ShiftRight<16>(bottom), fy);
                const auto uv = hn::Or(u, hn::ShiftLeft<8>(v));
                hn::StoreU(hn::DemoteTo(dHalf16, uv), dHalf16, reinterpret_cast<std::uint16_t*>(out + 2 * x));
            }
        }
        for (std::uint32_t x = table.blocksPerRow * kBlockSamples; x < table.width; ++x) {
            remapSample(table, source, position[x], fraction[x], 2, kChromaNeutral, out + 2 * x);
        }
    }
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace mpu::internal::remap
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mpu::internal::remap {

HWY_EXPORT(RemapLumaRows);
HWY_EXPORT(RemapChromaRows);

void remapLumaPlane(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    HWY_DYNAMIC_DISPATCH(RemapLumaRows)(table, source, destination);
}

void remapChromaPlane(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    HWY_DYNAMIC_DISPATCH(RemapChromaRows)(table, source, destination);
}

}  // namespace mpu::internal::remap
#endif  // HWY_ONCE
