#pragma once

// The quantiser of each frame for variable-rate H.264: a steady quantiser (the quality the stream aims at),
// raised only as far as needed to keep the bytes of every window of `windowFrames` consecutive frames within
// the cap (the maximum bit rate over the statistics time): each frame gets a steady share of the window (a
// key frame as many shares as key frames are larger than others; while a key frame is in the window, the
// others share what it left), and never more than the window ending with it has left. A frame's size is
// predicted from the frames of its kind (key or not) before it, each brought to the steady quantiser (the
// size halves for every 6 steps of quantiser) and averaged over the last few, so that one frame's size does
// not swing the next one's quantiser (a frame that follows a coarser one costs more, and the other way
// round). The quantiser comes down at most two steps a frame. x264 then needs no lookahead of its own: it
// encodes each frame at the quantiser given. Not thread-safe: one encoder uses it.

#include <cstdint>
#include <utility>
#include <vector>

namespace mpu::internal {

struct CapRateSettings {
    std::uint64_t capBytes;      // bytes allowed in any window
    std::uint32_t windowFrames;  // frames per window (frame rate x statistics time)
    int steadyQp;                // of frames that are not key frames, while the cap allows it
    int keyQpDelta;              // key frames use this much lower a quantiser
    int minQp;
    int maxQp;
};

class CapRateControl {
  public:
    explicit CapRateControl(const CapRateSettings& settings);

    // The quantiser for the next frame.
    int nextQp(bool keyFrame) const;
    // The lowest and the highest quantiser nextQp can give.
    std::pair<int, int> quantiserRange() const;
    // Records the frame just encoded.
    void frameDone(bool keyFrame, int qp, std::uint64_t bytes);

  private:
    struct Model {
        bool known{false};
        int qp{0};              // of the last frame
        double steadyBytes{0};  // the frames' average size at the steady quantiser
    };
    double predictedBytes(bool keyFrame, int qp) const;
    double keyToOtherRatio() const;
    int steadyQp(bool keyFrame) const;

    CapRateSettings settings_;
    std::vector<std::uint64_t> recent_;  // ring of the last windowFrames - 1 frame sizes
    std::size_t next_{0};
    std::uint64_t recentBytes_{0};
    Model key_;
    Model other_;
    std::uint64_t lastKeyBytes_{0};
    std::uint32_t framesSinceKey_{0};  // frames done after the last key frame; none seen: past the window
};

}  // namespace mpu::internal
