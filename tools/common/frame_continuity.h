#pragma once

// Per camera: which frames never arrived and which arrived but cannot be decoded right. The first slice
// header of every access unit gives its place in the stream (H.264 frame_num, H.265 picture order count); a
// number that jumps ahead means frames were lost before this one. A received frame after a loss may refer to
// a lost one, so every frame from the loss up to the next random access point is damaged: the decoder
// conceals what it misses, but the picture is not the one that was sent. Not thread-safe: one per camera.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "slice_header.h"
#include "video_stream.h"

namespace camera_tools {

struct FrameContinuity {
    std::uint64_t lostBefore{0};  // frames of this camera lost right before this one
    bool damaged{false};          // predicted from a lost frame: decoded, but not as it was sent
};

class FrameContinuityTracker {
  public:
    // A recording of `codec`, which starts with a random access point.
    explicit FrameContinuityTracker(VideoCodec codec) : codec_(codec), reader_(codec) {}

    // The next received frame of the camera, with its published stamp (ns).
    FrameContinuity Next(const std::uint8_t* data, std::size_t size, std::int64_t stampNs);
    // The transport lost samples before the next frame, perhaps of this camera.
    void NoteTransportLoss() noexcept { transportLoss_ = true; }

    // Frames whose slice header could not be read; a loss just before one is found at the next readable
    // frame.
    std::uint64_t Unreadable() const noexcept { return unreadable_; }

  private:
    // Frames lost between the previous frame and `position`, by the numbers.
    std::uint64_t LostByNumbers(const SlicePosition& position);
    // Whole periods of the numbers that were lost besides `lost`, by the stamps.
    std::uint64_t LostPeriods(const SlicePosition& position, std::uint64_t lost, std::int64_t stampNs) const;
    // The stamps' frame interval: the mean over the frames with no loss between, so that a stall and the
    // burst that catches up on it (stamps taken when a frame is sent) even out; 0 before there are a few.
    std::int64_t FrameInterval() const;

    VideoCodec codec_;
    SliceHeaderReader reader_;
    // H.264: frame_num of the previous reference picture; H.265: order count of the previous picture.
    std::optional<std::int64_t> previousNumber_;
    std::int64_t previousStampNs_{0};
    std::int64_t countStep_{0};      // H.265: the smallest advance of the order count from frame to frame
    std::int64_t intervalSumNs_{0};  // stamps between frames with no loss between
    std::int64_t intervals_{0};      // and how many such pairs
    std::uint64_t unreadable_{0};
    bool broken_{false};            // a frame was lost since the last random access point
    bool transportLoss_{false};     // samples were lost since the previous frame
    bool countStartedOver_{false};  // H.265: this frame's order count went back: its IDR picture was lost
};

}  // namespace camera_tools
