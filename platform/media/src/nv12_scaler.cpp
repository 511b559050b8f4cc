#include "nv12_scaler.h"

#include <algorithm>
#include <utility>

namespace mpu::internal::scale {
namespace {

// libyuv's bilinear down-scaling slope: centre-aligned samples, 16.16 fixed point.
std::int64_t StepOf(std::uint32_t src, std::uint32_t dst) {
    return (std::int64_t{src} << 16) / dst;
}
std::int64_t FirstOf(std::int64_t step) {
    return step / 2 - (1 << 15);
}

std::uint32_t BlockCount(std::uint32_t bytes) {
    return (bytes + kBlockBytes - 1) / kBlockBytes;
}

// The largest destination row a channel may be asked for, in bytes (luma and interleaved chroma alike).
constexpr std::uint32_t kMaxRowBytes = MPU_MAX_PICTURE_SIDE;

}  // namespace

ara::core::Result<std::uint32_t, ColumnError> buildColumns(std::uint32_t srcWidth, std::uint32_t dstWidth,
                                                           std::uint32_t channels, ColumnBlock* blocks) {
    const std::int64_t step = StepOf(srcWidth, dstWidth);
    const std::int64_t first = FirstOf(step);
    const std::int64_t last = std::int64_t{srcWidth - 1} << 16;
    const std::uint32_t bytes = dstWidth * channels;
    const std::uint32_t count = BlockCount(bytes);
    for (std::uint32_t b = 0; b < count; ++b) {
        ColumnBlock& block = blocks[b];
        for (std::uint32_t k = 0; k < kBlockBytes; ++k) {
            const std::uint32_t byte = b * kBlockBytes + k;
            block.left[2 * k + 1] = kZeroLane;
            if (byte >= bytes) {
                block.left[2 * k] = kZeroLane;
                block.right[k] = 0;
                continue;
            }
            const std::int64_t position = std::clamp(first + step * (byte / channels), std::int64_t{0}, last);
            std::uint32_t sample = static_cast<std::uint32_t>(position >> 16);
            // Rounded to the nearest 1/256, which may be the whole of the right neighbour.
            std::uint32_t weight = static_cast<std::uint32_t>(
                ((position & 0xFFFF) + (1 << (15 - kWeightBits))) >> (16 - kWeightBits));
            if (sample == srcWidth - 1) {
                // The last sample as the right neighbour at full weight: the pair never leaves the row.
                sample = srcWidth - 2;
                weight = kWeightOne;
            }
            const std::uint32_t offset = sample * channels + byte % channels;
            if (k == 0) {
                block.start = offset;
            }
            const std::uint32_t relative = offset - block.start;
            if (relative + channels >= kLoadBytes) {
                return ara::core::Result<std::uint32_t, ColumnError>::FromError(
                    ColumnError::kReductionTooLarge);
            }
            block.left[2 * k] = static_cast<std::uint8_t>(relative);
            block.right[k] = static_cast<std::uint16_t>(weight);
        }
    }
    return count;
}

Nv12Scaler::Nv12Scaler()
    : lumaColumns_(BlockCount(kMaxRowBytes) + 1),
      chromaColumns_(BlockCount(kMaxRowBytes) + 1),
      row_(kMaxRowBytes + 2 + kLoadBytes) {}

bool Nv12Scaler::prepare(std::uint32_t cropWidth, std::uint32_t cropHeight, std::uint32_t dstWidth,
                         std::uint32_t dstHeight) {
    const std::uint32_t geometry[4] = {cropWidth, cropHeight, dstWidth, dstHeight};
    if (std::equal(geometry, geometry + 4, geometry_)) {
        return covered_;
    }
    std::copy(geometry, geometry + 4, geometry_);
    const std::uint32_t chromaWidth = (cropWidth + 1) / 2;
    const std::uint32_t chromaHeight = (cropHeight + 1) / 2;
    covered_ = false;
    // A window of one chroma column has no pair to blend, and enlarging needs other edge handling.
    if (chromaWidth < 2 || dstWidth > cropWidth || dstHeight > cropHeight) {
        return false;
    }
    luma_ = {1, cropWidth, cropHeight, dstWidth, dstHeight, 0, 0, lumaColumns_.data(), 0};
    chroma_ = {2, chromaWidth, chromaHeight, dstWidth / 2, dstHeight / 2, 0, 0, chromaColumns_.data(), 0};
    const std::pair<PlanePlan*, ColumnBlock*> planes[] = {{&luma_, lumaColumns_.data()},
                                                          {&chroma_, chromaColumns_.data()}};
    for (const auto& [plan, columns] : planes) {
        plan->rowStep = StepOf(plan->srcHeight, plan->dstHeight);
        plan->rowFirst = FirstOf(plan->rowStep);
        const auto built = buildColumns(plan->srcWidth, plan->dstWidth, plan->channels, columns);
        if (!built) {
            return false;
        }
        plan->columnCount = built.Value();
    }
    covered_ = true;
    return true;
}

bool Nv12Scaler::scale(const Nv12Planes& source, const mpu_vpc_crop_region& window,
                       const Nv12Planes& destination) {
    if (!prepare(window.crop_width, window.crop_height, destination.width, destination.height)) {
        return false;
    }
    // An odd offset starts the chroma window at the pair that covers that luma column or row.
    const std::uint8_t* luma =
        source.luma + std::uint64_t{window.top_offset} * source.stride + window.left_offset;
    const std::uint8_t* chroma =
        source.chroma + std::uint64_t{window.top_offset / 2} * source.stride + (window.left_offset / 2) * 2;
    scalePlane(luma_, luma, source.stride, destination.luma, destination.stride, row_.data());
    scalePlane(chroma_, chroma, source.stride, destination.chroma, destination.stride, row_.data());
    return true;
}

}  // namespace mpu::internal::scale
