#pragma once

// One libavcodec encoder (libx264 or libx265) set up the way the encoder channels need it: zero latency, no
// B-frames, a fixed GOP of IDR frames that each carry the stream headers, single-threaded (the channels of
// the cameras run in parallel instead).

#include <cstdint>
#include <memory>

#include "ffmpeg/handles.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mpu::internal {

enum class Codec { kH264, kH265 };
enum class RateControl { kConstant, kVariable, kFixedQp };

struct EncoderSettings {
    Codec codec{Codec::kH264};
    std::uint32_t width{0};
    std::uint32_t height{0};
    std::uint32_t profile{0};
    std::uint32_t speedPreset{0};  // mpu_venc_speed_preset
    std::uint32_t framesPerSecond{30};
    std::uint32_t gop{30};
    RateControl rateControl{RateControl::kVariable};
    std::uint32_t bitRateKbps{0};     // constant
    std::uint32_t maxBitRateKbps{0};  // variable
    std::uint32_t statTimeSeconds{1};
    std::uint32_t minQp{0};  // variable; 0 and 0: the codec's range
    std::uint32_t maxQp{0};
    std::uint32_t iQp{0};  // fixed
    std::uint32_t pQp{0};
    std::int32_t ipQpDelta{0};
};

// An NV12 frame in the caller's memory.
struct FramePlanes {
    const std::uint8_t* luma;
    const std::uint8_t* chroma;
    std::uint32_t lumaStride;
    std::uint32_t chromaStride;
};

struct EncodedPacket {
    const std::uint8_t* data;
    std::uint32_t size;
    std::int64_t frameIndex;  // the index given to encode() for the frame it holds
    bool keyFrame;
};

class PacketSink {
  public:
    virtual void onPacket(const EncodedPacket& packet) = 0;

  protected:
    ~PacketSink() = default;
};

// One encoder of one channel. Not thread-safe: the channel's worker uses it.
class VideoEncoder {
  public:
    // Opens the encoder for the settings: variable-rate H.264 straight on libx264 with the platform's rate
    // control (X264Encoder), everything else through libavcodec. Null (after logging why) when the codec
    // library refuses the settings.
    static std::unique_ptr<VideoEncoder> open(const EncoderSettings& settings);
    virtual ~VideoEncoder() = default;
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Encodes one frame and hands every packet that comes out to `sink` before returning. The planes are read
    // in place (H.264) or converted into the encoder's own I420 frame (H.265, whose encoder takes no NV12).
    // False after logging when the codec library fails.
    virtual bool encode(const FramePlanes& frame, std::int64_t frameIndex, PacketSink& sink) = 0;

  protected:
    VideoEncoder() = default;
};

// The libavcodec encoder (libx264 for constant rate and fixed quantisers, libx265).
class AvcodecEncoder final : public VideoEncoder {
  public:
    static std::unique_ptr<VideoEncoder> open(const EncoderSettings& settings);
    ~AvcodecEncoder() override;

    bool encode(const FramePlanes& frame, std::int64_t frameIndex, PacketSink& sink) override;

  private:
    AvcodecEncoder() = default;
    bool drain(PacketSink& sink);

    Codec codec_{Codec::kH264};
    ffmpeg::CodecContextPtr context_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
};

}  // namespace mpu::internal
