#pragma once

// H.264 with variable rate straight on libx264: the platform chooses each frame's quantiser
// (CapRateControl), so x264 runs without the lookahead its own rate control needs, and reads the NV12 planes
// where they lie (x264 keeps its own padded copy of each picture it encodes, as it must for motion search).

#include <memory>

#include "cap_rate_control.h"
#include "video_encoder.h"

struct x264_t;

namespace mpu::internal {

class X264Encoder final : public VideoEncoder {
  public:
    // Null (after logging why) when x264 refuses the settings. For Codec::kH264 with RateControl::kVariable.
    static std::unique_ptr<VideoEncoder> open(const EncoderSettings& settings);
    ~X264Encoder() override;

    bool encode(const FramePlanes& frame, std::int64_t frameIndex, PacketSink& sink) override;

  private:
    struct Closer {
        void operator()(x264_t* encoder) const;
    };
    X264Encoder(const EncoderSettings& settings, const CapRateSettings& rate);

    EncoderSettings settings_;
    std::unique_ptr<x264_t, Closer> encoder_;
    CapRateControl rate_;
};

// The steady quantiser of variable-rate H.264 frames that are not key frames: about the quality of x264's
// default constant-quality mode (CRF 23) on camera pictures.
inline constexpr int kSteadyQp = 23;

}  // namespace mpu::internal
