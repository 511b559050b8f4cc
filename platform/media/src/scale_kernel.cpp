// Vector kernels of the bilinear down-scaler, compiled once per instruction set (Highway's dynamic
// dispatch), like the remap kernels. The vertical blend runs over whole vectors of the source row; the
// horizontal blend works on 128-bit blocks on every target, because a byte shuffle only reaches within one
// 128-bit block on AVX2 and AVX-512, and 16 bytes of source cover the 8 destination bytes of a column block.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scale_kernel.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
// Must come after foreach_target.h.
#include "hwy/highway.h"

#include <cstring>

#include "nv12_scaler.h"

HWY_BEFORE_NAMESPACE();
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
void blendRows(const std::uint8_t* top, const std::uint8_t* bottom, std::uint32_t weight, std::uint8_t* out,
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

void blendRows(const std::uint8_t* top, const std::uint8_t* bottom, std::uint32_t weight, std::uint8_t* out,
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
            blendRows(top, top + sourceStride, position.weight, row, rowBytes);
        }
        BlendColumns(plan, row, destination + std::uint64_t{y} * destinationStride);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace mpu::internal::scale
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mpu::internal::scale {

HWY_EXPORT(ScalePlaneRows);

void scalePlane(const PlanePlan& plan, const std::uint8_t* source, std::uint32_t sourceStride,
                std::uint8_t* destination, std::uint32_t destinationStride, std::uint8_t* row) {
    HWY_DYNAMIC_DISPATCH(ScalePlaneRows)(plan, source, sourceStride, destination, destinationStride, row);
}

}  // namespace mpu::internal::scale
#endif  // HWY_ONCE
