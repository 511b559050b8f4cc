// The media unit's vector kernels, compiled once per instruction set (Highway's dynamic dispatch): the same
// code runs on the vehicle's AArch64 (NEON/SVE) and on x86 (SSE4, AVX2, AVX-512), choosing the best set at
// run time.
//
// The remap is the hottest code of the media unit, so the inside blocks, which are nearly all of a picture,
// are done without any bounds check: two 32-bit gathers fetch each sample's 2 x 2 neighbourhood and the
// bilinear weights are applied in 16- and 32-bit integer lanes, giving exactly remapSample's result.
//
// The bilinear down-scaler's vertical blend runs over whole vectors of the source row; its horizontal blend
// works on 128-bit blocks on every target, because a byte shuffle only reaches within one 128-bit block on
// AVX2 and AVX-512, and 16 bytes of source cover the 8 destination bytes of a column block.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vector_kernels.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
// Must come after foreach_target.h.
#include "hwy/cache_control.h"
#include "hwy/highway.h"

#include <cstring>

#include "nv12_scaler.h"
#include "remap_scalar.h"
#include "remap_table.h"

HWY_BEFORE_NAMESPACE();
namespace mpu::internal::remap {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold the 16-bit pairs the vector path works on: this fallback (old compilers without a
// usable 128-bit emulation) goes sample by sample.
void RemapPlaneBySample(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination, int channels,
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
    RemapPlaneBySample(table, source, destination, 1, kLumaBlack);
}

void RemapChromaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    RemapPlaneBySample(table, source, destination, 2, kChromaNeutral);
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

// The walk over the rows of one plane, the same for luma (`kChannels` 1) and interleaved chroma (2): blocks
// wholly outside the source are filled with `fill`, blocks on its border and the samples after the last
// whole block go sample by sample, and the inside blocks go through `step`, which remaps the hn::Lanes(D32)
// samples from a position and fraction on to their output.
template <int kChannels, class VectorStep>
HWY_INLINE void RemapRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination,
                          std::uint8_t fill, VectorStep step) {
    const std::size_t lanes = hn::Lanes(D32());
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
                PrefetchNeighbourhood(source, ahead[x0], kChannels);
            }
            if (blocks[b] == kOutside) {
                std::memset(out + kChannels * x0, fill, kChannels * kBlockSamples);
                continue;
            }
            if (blocks[b] == kBorder) {
                for (std::uint32_t x = x0; x < x0 + kBlockSamples; ++x) {
                    remapSample(table, source, position[x], fraction[x], kChannels, fill,
                                out + kChannels * x);
                }
                continue;
            }
            for (std::uint32_t x = x0; x < x0 + kBlockSamples; x += lanes) {
                step(position + x, fraction + x, out + kChannels * x);
            }
        }
        for (std::uint32_t x = table.blocksPerRow * kBlockSamples; x < table.width; ++x) {
            remapSample(table, source, position[x], fraction[x], kChannels, fill, out + kChannels * x);
        }
    }
}

void RemapLumaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    const D32 d;
    const typename Lanes<D32>::DHalf16 dHalf16;
    const typename Lanes<D32>::DU8 du8;
    const auto* base = reinterpret_cast<const std::int32_t*>(source.data);
    const auto stride = hn::Set(d, static_cast<std::int32_t>(source.stride));
    const auto low16 = hn::Set(d, 0xFFFF);
    const auto low8 = hn::Set(d, 0xFF);
    RemapRows<1>(
        table, source, destination, kLumaBlack,
        [&](const std::int32_t* position, const std::uint16_t* fraction, std::uint8_t* out) HWY_ATTR {
            const auto packed = hn::LoadU(d, position);
            const auto frac = hn::PromoteTo(d, hn::LoadU(dHalf16, fraction));
            const auto offset = hn::Add(hn::And(packed, low16), hn::Mul(hn::ShiftRight<16>(packed), stride));
            const auto upper = hn::GatherOffset(d, base, offset);
            const auto lower = hn::GatherOffset(d, base, hn::Add(offset, stride));
            // Both rows' pairs in one vector: upper pair in the low 16 bits, lower pair in the high
            // ones.
            const auto pairs = hn::Or(hn::And(upper, low16), hn::ShiftLeft<16>(lower));
            const auto rows = hn::BitCast(d, LerpPairs<D32>(pairs, hn::And(frac, low8)));
            const auto value =
                LerpRows(d, hn::And(rows, low16), hn::ShiftRight<16>(rows), hn::ShiftRight<8>(frac));
            hn::StoreU(hn::DemoteTo(du8, value), du8, out);
        });
}

void RemapChromaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    const D32 d;
    const typename Lanes<D32>::DHalf16 dHalf16;
    const hn::Repartition<std::uint8_t, D32> dBytes;
    const auto* base = reinterpret_cast<const std::int32_t*>(source.data);
    const auto stride = hn::Set(d, static_cast<std::int32_t>(source.stride));
    const auto low16 = hn::Set(d, 0xFFFF);
    const auto low8 = hn::Set(d, 0xFF);
    // A gathered 32-bit lane holds U0 V0 U1 V1; reordered to U0 U1 V0 V1 it is two neighbour pairs.
    alignas(16) static constexpr std::uint8_t kPairOrder[16] = {0, 2,  1, 3,  4,  6,  5,  7,
                                                                8, 10, 9, 11, 12, 14, 13, 15};
    const auto pairOrder = hn::LoadDup128(dBytes, kPairOrder);
    const auto toPairs = [&](hn::Vec<D32> gathered) HWY_ATTR {
        return hn::BitCast(d, hn::TableLookupBytes(hn::BitCast(dBytes, gathered), pairOrder));
    };
    RemapRows<2>(
        table, source, destination, kChromaNeutral,
        [&](const std::int32_t* position, const std::uint16_t* fraction, std::uint8_t* out) HWY_ATTR {
            const auto packed = hn::LoadU(d, position);
            const auto frac = hn::PromoteTo(d, hn::LoadU(dHalf16, fraction));
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
            hn::StoreU(hn::DemoteTo(dHalf16, uv), dHalf16, reinterpret_cast<std::uint16_t*>(out));
        });
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace mpu::internal::remap

namespace mpu::internal::scale {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

HWY_INLINE std::uint8_t Blend(std::uint32_t first, std::uint32_t second, std::uint32_t weight) {
    return static_cast<std::uint8_t>((first * (kWeightOne - weight) + second * weight + (kWeightOne / 2)) >>
                                     kWeightBits);
}

#if HWY_TARGET == HWY_SCALAR

// One lane cannot shuffle bytes: this fallback (old compilers without a usable 128-bit emulation) reads the
// same tables byte by byte.
void BlendRows(const std::uint8_t* top, const std::uint8_t* bottom, std::uint32_t weight, std::uint8_t* out,
               std::uint32_t bytes) {
    for (std::uint32_t x = 0; x < bytes; ++x) {
        out[x] = Blend(top[x], bottom[x], weight);
    }
}

void BlendColumns(const PlanePlan& plan, const std::uint8_t* row, std::uint8_t* out) {
    const std::uint32_t bytes = plan.dstWidth * plan.channels;
    for (std::uint32_t x = 0; x < bytes; ++x) {
        const ColumnBlock& block = plan.columns[x / kBlockBytes];
        const std::uint32_t k = x % kBlockBytes;
        const std::uint8_t* left = row + block.start + block.left[2 * k];
        out[x] = Blend(left[0], left[plan.channels], block.right[k]);
    }
}

#else

void BlendRows(const std::uint8_t* top, const std::uint8_t* bottom, std::uint32_t weight, std::uint8_t* out,
               std::uint32_t bytes) {
    const hn::ScalableTag<std::uint16_t> d16;
    const hn::Rebind<std::uint8_t, decltype(d16)> d8;
    const hn::RebindToSigned<decltype(d16)> di16;  // the results fit 8 bits; u16 to u8 needs the signed form
    const std::uint32_t lanes = static_cast<std::uint32_t>(hn::Lanes(d16));
    const auto second = hn::Set(d16, static_cast<std::uint16_t>(weight));
    const auto first = hn::Set(d16, static_cast<std::uint16_t>(kWeightOne - weight));
    const auto rounding = hn::Set(d16, kWeightOne / 2);
    std::uint32_t x = 0;
    for (; x + lanes <= bytes; x += lanes) {
        const auto upper = hn::PromoteTo(d16, hn::LoadU(d8, top + x));
        const auto lower = hn::PromoteTo(d16, hn::LoadU(d8, bottom + x));
        const auto sum = hn::Add(hn::Add(hn::Mul(upper, first), hn::Mul(lower, second)), rounding);
        hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, hn::ShiftRight<kWeightBits>(sum))), d8, out + x);
    }
    for (; x < bytes; ++x) {
        out[x] = Blend(top[x], bottom[x], weight);
    }
}

void BlendColumns(const PlanePlan& plan, const std::uint8_t* row, std::uint8_t* out) {
    const hn::Full128<std::uint8_t> d8;
    const hn::Full128<std::uint16_t> d16;
    const hn::RebindToSigned<decltype(d16)> di16;
    const hn::Rebind<std::uint8_t, decltype(d16)> dOut;
    const auto step = hn::Set(d16, static_cast<std::uint16_t>(plan.channels));
    const auto one = hn::Set(d16, kWeightOne);
    const auto rounding = hn::Set(d16, kWeightOne / 2);
    const std::uint32_t bytes = plan.dstWidth * plan.channels;
    const auto blendBlock = [&](const ColumnBlock& block) {
        const auto source = hn::LoadU(d8, row + block.start);
        const auto leftIndex = hn::Load(d8, block.left);
        const auto rightIndex = hn::BitCast(d8, hn::Add(hn::BitCast(d16, leftIndex), step));
        const auto left = hn::BitCast(d16, hn::TableLookupBytesOr0(source, leftIndex));
        const auto right = hn::BitCast(d16, hn::TableLookupBytesOr0(source, rightIndex));
        const auto weight = hn::Load(d16, block.right);
        // At most 255 x 256 + 128: the sum never leaves 16 bits.
        const auto sum =
            hn::Add(hn::Add(hn::Mul(left, hn::Sub(one, weight)), hn::Mul(right, weight)), rounding);
        return hn::DemoteTo(dOut, hn::BitCast(di16, hn::ShiftRight<kWeightBits>(sum)));
    };
    const std::uint32_t whole = bytes / kBlockBytes;
    for (std::uint32_t b = 0; b < whole; ++b) {
        hn::StoreU(blendBlock(plan.columns[b]), dOut, out + b * kBlockBytes);
    }
    if (whole < plan.columnCount) {
        // The row's last bytes: only they are stored, whatever follows the row stays as it was.
        alignas(16) std::uint8_t tail[kBlockBytes];
        hn::Store(blendBlock(plan.columns[whole]), dOut, tail);
        std::memcpy(out + whole * kBlockBytes, tail, bytes - whole * kBlockBytes);
    }
}

#endif  // HWY_TARGET == HWY_SCALAR

void ScalePlaneRows(const PlanePlan& plan, const std::uint8_t* source, std::uint32_t sourceStride,
                    std::uint8_t* destination, std::uint32_t destinationStride, std::uint8_t* row) {
    const std::uint32_t rowBytes = plan.srcWidth * plan.channels;
    for (std::uint32_t y = 0; y < plan.dstHeight; ++y) {
        const RowPosition position = rowPosition(plan, y);
        const std::uint8_t* top = source + std::uint64_t{position.row} * sourceStride;
        if (position.weight == 0) {
            // The next row may lie past the window's end; it is not read when it has no weight.
            std::memcpy(row, top, rowBytes);
        } else {
            BlendRows(top, top + sourceStride, position.weight, row, rowBytes);
        }
        BlendColumns(plan, row, destination + std::uint64_t{y} * destinationStride);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace mpu::internal::scale
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

namespace mpu::internal::scale {

HWY_EXPORT(ScalePlaneRows);

void scalePlane(const PlanePlan& plan, const std::uint8_t* source, std::uint32_t sourceStride,
                std::uint8_t* destination, std::uint32_t destinationStride, std::uint8_t* row) {
    HWY_DYNAMIC_DISPATCH(ScalePlaneRows)(plan, source, sourceStride, destination, destinationStride, row);
}

}  // namespace mpu::internal::scale
#endif  // HWY_ONCE
