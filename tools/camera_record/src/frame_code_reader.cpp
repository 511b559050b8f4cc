#include "frame_code_reader.h"

#include <cmath>

#include "vcu/camera/frame_code.h"

namespace camera_record {
namespace {

// A consistent read over fewer neighbouring scales than this is taken for chance.
constexpr int kMinRunLength = 5;

}  // namespace

std::optional<std::uint32_t> FrameCodeReader::Read(const std::uint8_t* luma, int width, int height,
                                                   int stride) {
    if (luma == nullptr) {
        return std::nullopt;
    }
    if (scale_) {
        const auto code = vcu::camera::readFrameCode(luma, width, height, stride, *scale_);
        if (code || fixed_) {
            misses_ = 0;
            return code;
        }
        if (++misses_ < kRetryAfter) {
            return std::nullopt;
        }
        scale_.reset();
        misses_ = 0;
        picturesUntilSearch_ = 0;
    }
    if (picturesUntilSearch_ > 0) {
        --picturesUntilSearch_;
        return std::nullopt;
    }
    scale_ = Search(luma, width, height, stride);
    if (!scale_) {
        picturesUntilSearch_ = kRetryAfter;
        return std::nullopt;
    }
    return vcu::camera::readFrameCode(luma, width, height, stride, *scale_);
}

std::optional<double> FrameCodeReader::Search(const std::uint8_t* luma, int width, int height,
                                              int stride) const {
    const int steps = static_cast<int>(std::lround((kMaxScale - kMinScale) / kScaleStep));
    int bestStart = 0;
    int bestLength = 0;
    int runStart = 0;
    int runLength = 0;
    std::optional<std::uint32_t> runCode;
    for (int step = 0; step <= steps; ++step) {
        const double scale = kMinScale + step * kScaleStep;
        const auto code = vcu::camera::readFrameCode(luma, width, height, stride, scale);
        if (code && runLength > 0 && code == runCode) {
            ++runLength;
        } else {
            runStart = step;
            runLength = code ? 1 : 0;
            runCode = code;
        }
        if (runLength > bestLength) {
            bestStart = runStart;
            bestLength = runLength;
        }
    }
    if (bestLength < kMinRunLength) {
        return std::nullopt;
    }
    return kMinScale + (bestStart + (bestLength - 1) / 2.0) * kScaleStep;
}

}  // namespace camera_record
