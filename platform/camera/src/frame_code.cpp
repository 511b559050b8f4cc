#include "vcu/camera/frame_code.h"

#include <algorithm>
#include <cmath>

#include "nv12_image.h"

namespace vcu::camera {

namespace {

constexpr int kDataColumns = kFrameCodeColumns - 1;
constexpr int kBlackLevel = internal::kBlack.y;
constexpr int kWhiteLevel = internal::kWhite.y;
// A cell whose mean is this close to mid-grey is neither black nor white: the code is not there or is
// damaged.
constexpr double kAmbiguityMargin = 35.0;

bool BitOf(std::uint32_t code, int row, int column) {
    if (column < kDataColumns) {
        return ((code >> (row * kDataColumns + column)) & 1U) != 0;
    }
    const std::uint32_t nibble = (code >> (row * kDataColumns)) & 0xFU;
    return (__builtin_popcount(nibble) & 1) != 0;
}

// Offset of a cell's centre from the picture centre, in pattern pixels.
double CellCentreX(int column) {
    return (column - (kFrameCodeColumns - 1) / 2.0) * kFrameCodeCellSize;
}
double CellCentreY(int row) {
    return (row - (kFrameCodeRows - 1) / 2.0) * kFrameCodeCellSize;
}

}  // namespace

void drawFrameCode(std::uint8_t* nv12, int width, int height, std::uint32_t frameNumber) {
    if (width < kFrameCodeWidth || height < kFrameCodeHeight) {
        return;
    }
    const internal::Nv12Image image{nv12, width, height};
    const int left = width / 2 - kFrameCodeColumns * kFrameCodeCellSize / 2;
    const int top = height / 2 - kFrameCodeRows * kFrameCodeCellSize / 2;
    internal::fillRect(image, left - kFrameCodeMargin, top - kFrameCodeMargin, kFrameCodeWidth,
                       kFrameCodeHeight, internal::kGrey);
    for (int row = 0; row < kFrameCodeRows; ++row) {
        for (int column = 0; column < kFrameCodeColumns; ++column) {
            internal::fillRect(image, left + column * kFrameCodeCellSize, top + row * kFrameCodeCellSize,
                               kFrameCodeCellSize, kFrameCodeCellSize,
                               BitOf(frameNumber, row, column) ? internal::kWhite : internal::kBlack);
        }
    }
}

std::optional<std::uint32_t> readFrameCode(const std::uint8_t* luma, int width, int height, int stride,
                                           double scale) {
    if (luma == nullptr || width <= 0 || height <= 0 || stride < width || !(scale > 0.0)) {
        return std::nullopt;
    }
    // Sample the middle half of each cell: its edges blur under scaling and compression.
    const double half = std::max(0.5, scale * kFrameCodeCellSize / 4.0);
    const double threshold = (kBlackLevel + kWhiteLevel) / 2.0;
    std::uint32_t code = 0;
    for (int row = 0; row < kFrameCodeRows; ++row) {
        bool parity = false;
        for (int column = 0; column < kFrameCodeColumns; ++column) {
            const double centreX = width / 2.0 + scale * CellCentreX(column);
            const double centreY = height / 2.0 + scale * CellCentreY(row);
            const auto x0 = static_cast<long>(std::floor(centreX - half));
            const auto x1 = static_cast<long>(std::ceil(centreX + half));
            const auto y0 = static_cast<long>(std::floor(centreY - half));
            const auto y1 = static_cast<long>(std::ceil(centreY + half));
            if (x0 < 0 || y0 < 0 || x1 > width || y1 > height) {
                return std::nullopt;
            }
            unsigned long sum = 0;
            for (long y = y0; y < y1; ++y) {
                const std::uint8_t* line = luma + y * stride;
                for (long x = x0; x < x1; ++x) {
                    sum += line[x];
                }
            }
            const double mean = static_cast<double>(sum) / static_cast<double>((x1 - x0) * (y1 - y0));
            if (std::fabs(mean - threshold) < kAmbiguityMargin) {
                return std::nullopt;
            }
            const bool bit = mean > threshold;
            if (column < kDataColumns) {
                code |= static_cast<std::uint32_t>(bit) << (row * kDataColumns + column);
                parity ^= bit;
            } else if (parity != bit) {
                return std::nullopt;
            }
        }
    }
    return code;
}

}  // namespace vcu::camera
