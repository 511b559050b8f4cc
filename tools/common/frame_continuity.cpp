#include "frame_continuity.h"

#include <algorithm>
#include <cmath>

namespace camera_tools {

std::uint64_t FrameContinuityTracker::LostByNumbers(const SlicePosition& position) {
    const std::int64_t previous = *previousNumber_;
    if (codec_ == VideoCodec::kH264) {
        // Each picture's frame_num is one past the previous reference picture's, modulo MaxFrameNum: what
        // lies between were reference frames that never arrived.
        const std::int64_t modulus = position.modulus;
        return static_cast<std::uint64_t>(((position.number - previous - 1) % modulus + modulus) % modulus);
    }
    // The order count advances by the same step from picture to picture (the streams have no B-frames); the
    // step is the smallest advance seen.
    const std::int64_t advance = position.number - previous;
    if (advance <= 0) {
        // The count started over without a random access point: the IDR picture it started at was lost, and
        // every picture from it up to this one; how many before it, only the stamps can tell.
        countStartedOver_ = true;
        return static_cast<std::uint64_t>(
            std::max<std::int64_t>(position.number / std::max<std::int64_t>(countStep_, 1), 1));
    }
    if (countStep_ == 0 || advance < countStep_) {
        countStep_ = advance;
        return 0U;
    }
    return static_cast<std::uint64_t>(advance / countStep_ - 1);
}

std::uint64_t FrameContinuityTracker::LostPeriods(const SlicePosition& position, std::uint64_t lost,
                                                  std::int64_t stampNs) const {
    // The numbers wrap (H.264 at MaxFrameNum; an H.265 count is derived right only within half its range),
    // so a long loss looks like a short one, or like none when a key frame was lost with it. Only when the
    // numbers or the transport say that something was lost are the stamps asked how many frame intervals
    // passed: a camera that skipped frames before the encoder leaves a gap in the stamps too.
    const std::int64_t period = codec_ == VideoCodec::kH264
                                    ? position.modulus
                                    : position.modulus / 2 / std::max<std::int64_t>(countStep_, 1);
    const std::int64_t frameNs = lost == 0 && !transportLoss_ ? 0 : FrameInterval();
    if (frameNs <= 0 || period <= 0 || stampNs <= previousStampNs_) {
        return 0;
    }
    // Stamps come from the network: a wild one must not make a wild count.
    constexpr double kMostIntervals = 1e9;
    const double intervals = std::min(
        static_cast<double>(stampNs - previousStampNs_) / static_cast<double>(frameNs), kMostIntervals);
    const double unexplained = intervals - 1.0 - static_cast<double>(lost);
    if (countStartedOver_) {
        return unexplained >= 0.5 ? static_cast<std::uint64_t>(std::llround(unexplained)) : 0U;
    }
    if (unexplained <= static_cast<double>(period) / 2.0) {
        return 0;
    }
    return static_cast<std::uint64_t>(std::llround(unexplained / static_cast<double>(period))) *
           static_cast<std::uint64_t>(period);
}

std::int64_t FrameContinuityTracker::FrameInterval() const {
    constexpr std::int64_t kFewest = 5;
    return intervals_ < kFewest ? 0 : intervalSumNs_ / intervals_;
}

FrameContinuity FrameContinuityTracker::Next(const std::uint8_t* data, std::size_t size,
                                             std::int64_t stampNs) {
    const std::optional<SlicePosition> position = reader_.Read(data, size);
    if (!position) {
        ++unreadable_;
        return FrameContinuity{0, broken_};
    }
    FrameContinuity continuity;
    if (previousNumber_ && !position->numberingRestarts) {
        const std::uint64_t lost = LostByNumbers(*position);
        continuity.lostBefore = lost + LostPeriods(*position, lost, stampNs);
        const std::int64_t interval = stampNs - previousStampNs_;
        // Only plausible frame intervals, and a sum that cannot overflow: halved now and then, the mean
        // stays.
        constexpr std::int64_t kLongestIntervalNs = 10'000'000'000;
        constexpr std::int64_t kMostIntervals = 1 << 20;
        if (continuity.lostBefore == 0 && interval > 0 && interval <= kLongestIntervalNs) {
            intervalSumNs_ += interval;
            if (++intervals_ == kMostIntervals) {
                intervalSumNs_ /= 2;
                intervals_ /= 2;
            }
        }
    }
    if (position->randomAccess) {
        broken_ = false;
    } else if (continuity.lostBefore > 0) {
        broken_ = true;
    }
    continuity.damaged = broken_;
    if (codec_ == VideoCodec::kH265 || position->reference || !previousNumber_) {
        previousNumber_ = position->number;
    }
    previousStampNs_ = stampNs;
    transportLoss_ = false;
    countStartedOver_ = false;
    return continuity;
}

}  // namespace camera_tools
