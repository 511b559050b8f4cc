#pragma once

// The quantiser of each frame for variable-rate H.264: a steady quantiser (the quality the stream aims at),
// raised only as far as needed to keep the bytes of every window of `windowFrames` consecutive frames within
// the cap (the maximum bit rate over the statistics time): each frame gets a steady share of the window (a
// key frame four shares), and never more than the window ending with it has left. Each frame's size is
// predicted from the last frame of its kind (key or not) at its quantiser: the size halves for every 6 steps
// of quantiser. The quantiser comes down at most two steps a frame. x264 then needs no lookahead of its own:
// it encodes each frame at the quantiser given. Not thread-safe: one encoder uses it.

#include <cstdint>
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
    // Records the frame just encoded.
    void frameDone(bool keyFrame, int qp, std::uint64_t bytes);

  private:
    struct Model {
        bool known{false};
        int qp{0};
        double bytes{0};
    };
    double predictedBytes(bool keyFrame, int qp) const;

    CapRateSettings settings_;
    std::vector<std::uint64_t> recent_;  // ring of the last windowFrames - 1 frame sizes
    std::size_t next_{0};
    std::uint64_t recentBytes_{0};
    Model key_;
    Model other_;
};

}  // namespace mpu::internal
