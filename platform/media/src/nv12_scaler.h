#pragma once

// Bilinear down-scaling of NV12 pictures with our own vector kernels (Highway): the crop-resize path of the
// camera, where libyuv's general scaler costs about twice as much.
//
// Positions follow libyuv's bilinear down-scaler, so that both give the same picture within a code value or
// two: destination sample i samples the source at (i + 0.5) x scale - 0.5, in 16.16 fixed point, clamped to
// the last sample; chroma is scaled at the chroma geometry ((crop + 1) / 2 samples to destination / 2).
// Each destination row first blends its two source rows into a row buffer (weights in 1/256), then each
// group of 8 destination bytes picks its left and right neighbours from one 16-byte load of that buffer with
// a byte shuffle and blends them (weights in 1/256, rounded). That shuffle limits the reduction to a little
// under 2 x; larger reductions, enlargements and tiny windows are left to libyuv.

#include <cstdint>
#include <vector>

#include "ara/core/result.h"
#include "mpu/mpu_vpc.h"
#include "picture_check.h"

namespace mpu::internal::scale {

inline constexpr std::uint32_t kBlockBytes = 8;  // destination bytes per column block
inline constexpr std::uint32_t kLoadBytes = 16;  // source bytes one block may reach
inline constexpr std::uint8_t kZeroLane = 0x80;  // shuffle index that yields 0
inline constexpr int kWeightBits = 8;
inline constexpr int kWeightOne = 1 << kWeightBits;

// Where 8 consecutive destination bytes of a row take their neighbours from: byte k blends the row buffer's
// bytes start + left[2k] and start + left[2k] + step (step = bytes per sample), the second with weight
// right[k] in 1/256 (0..256). left[2k + 1] is kZeroLane, so the shuffle widens each byte to 16 bits; bytes
// past the row's end have left[2k] = kZeroLane and are not stored.
struct alignas(16) ColumnBlock {
    std::uint8_t left[kLoadBytes];
    std::uint16_t right[kBlockBytes];
    std::uint32_t start;
};

// One plane's scaling: the column blocks of a destination row and the vertical positions.
struct PlanePlan {
    std::uint32_t channels;  // interleaved bytes per sample: 1 luma, 2 chroma
    std::uint32_t srcWidth;  // samples
    std::uint32_t srcHeight;
    std::uint32_t dstWidth;  // samples
    std::uint32_t dstHeight;
    std::int64_t rowFirst;  // source row of destination row 0, 16.16
    std::int64_t rowStep;   // 16.16
    const ColumnBlock* columns;
    std::uint32_t columnCount;
};

// The source row and blend weight (1/256 of the next row) of destination row `y`.
struct RowPosition {
    std::uint32_t row;
    std::uint32_t weight;
};
inline RowPosition rowPosition(const PlanePlan& plan, std::uint32_t y) {
    const std::int64_t last = std::int64_t{plan.srcHeight - 1} << 16;
    std::int64_t position = plan.rowFirst + plan.rowStep * y;
    position = position < 0 ? 0 : (position > last ? last : position);
    // The weight rounded to the nearest 1/256; rounding up to a whole row is the next row alone.
    const std::int64_t rounded = position + (1 << (15 - kWeightBits));
    return {static_cast<std::uint32_t>(rounded >> 16),
            static_cast<std::uint32_t>(rounded >> (16 - kWeightBits)) & (kWeightOne - 1)};
}

// Scales one plane: `source` points at the window's first sample, `destination` at the picture's. `row`
// holds at least srcWidth x channels + kLoadBytes bytes. Picks the best instruction set of this processor.
void scalePlane(const PlanePlan& plan, const std::uint8_t* source, std::uint32_t sourceStride,
                std::uint8_t* destination, std::uint32_t destinationStride, std::uint8_t* row);

// Why a row cannot be scaled with column blocks: a block would reach further than one load (a reduction of
// about 2 x or more).
enum class ColumnError { kReductionTooLarge };

// Builds the column blocks of a row of `dstWidth` samples out of `srcWidth` (both >= 2 and dst <= src);
// `blocks` has room for dstWidth x channels / kBlockBytes + 1 blocks. The number of blocks built.
ara::core::Result<std::uint32_t, ColumnError> buildColumns(std::uint32_t srcWidth, std::uint32_t dstWidth,
                                                           std::uint32_t channels, ColumnBlock* blocks);

// The crop-resize scaler of one picture channel: its tables and row buffer are made once, for the largest
// picture, and rebuilt only when the geometry changes. Not thread-safe: one channel's worker uses it.
class Nv12Scaler {
  public:
    Nv12Scaler();

    // Scales `window` of `source` to the whole of `destination` (both checked). Returns false without
    // touching anything when the geometry is not one this scaler covers.
    bool scale(const Nv12Planes& source, const mpu_vpc_crop_region& window, const Nv12Planes& destination);

  private:
    bool prepare(std::uint32_t cropWidth, std::uint32_t cropHeight, std::uint32_t dstWidth,
                 std::uint32_t dstHeight);

    std::vector<ColumnBlock> lumaColumns_;
    std::vector<ColumnBlock> chromaColumns_;
    std::vector<std::uint8_t> row_;
    PlanePlan luma_{};
    PlanePlan chroma_{};
    std::uint32_t geometry_[4]{};  // crop width, crop height, destination width, height of the tables
    bool covered_{false};
};

}  // namespace mpu::internal::scale
