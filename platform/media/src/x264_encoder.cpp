#include "x264_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

extern "C" {
#include <x264.h>
}

#include "media_log.h"

namespace mpu::internal {
namespace {

const char* PresetName(std::uint32_t preset) {
    static constexpr const char* kNames[] = {"ultrafast", "superfast", "veryfast",
                                             "faster",    "fast",      "medium"};
    return preset < sizeof(kNames) / sizeof(kNames[0]) ? kNames[preset] : kNames[0];
}

const char* ProfileName(std::uint32_t profile) {
    static constexpr const char* kNames[] = {"baseline", "main", "high"};
    return profile < 3 ? kNames[profile] : kNames[0];
}

constexpr int kLowestQp = 0;
constexpr int kHighestQp = 51;
// Without a configured range the quantiser stays within this many steps above the steady one: past that a
// frame loses much quality and, where its bits are mostly motion vectors and headers (a fast preset on
// scrolling pictures), little size.
constexpr int kMostAboveSteady = 15;

CapRateSettings RateFor(const EncoderSettings& settings) {
    const bool limited = settings.maxQp != 0;
    const std::uint32_t window =
        std::max<std::uint32_t>(1, settings.framesPerSecond * settings.statTimeSeconds);
    return CapRateSettings{
        std::uint64_t{settings.maxBitRateKbps} * 1000 / 8 * settings.statTimeSeconds,
        window,
        kSteadyQp,
        settings.ipQpDelta,
        limited ? static_cast<int>(settings.minQp) : kLowestQp,
        limited ? static_cast<int>(settings.maxQp) : std::min(kHighestQp, kSteadyQp + kMostAboveSteady)};
}

}  // namespace

void X264Encoder::Closer::operator()(x264_t* encoder) const {
    x264_encoder_close(encoder);
}

X264Encoder::X264Encoder(const EncoderSettings& settings, const CapRateSettings& rate)
    : settings_(settings), rate_(rate) {}

X264Encoder::~X264Encoder() = default;

std::unique_ptr<VideoEncoder> X264Encoder::open(const EncoderSettings& settings) {
    std::unique_ptr<X264Encoder> encoder(new X264Encoder(settings, RateFor(settings)));
    x264_param_t param;
    if (x264_param_default_preset(&param, PresetName(settings.speedPreset), "zerolatency") < 0) {
        mediaLogger().LogError(ARA_LOG_HERE)
            << "x264: preset " << PresetName(settings.speedPreset) << " refused";
        return nullptr;
    }
    param.i_width = static_cast<int>(settings.width);
    param.i_height = static_cast<int>(settings.height);
    param.i_csp = X264_CSP_NV12;
    param.i_fps_num = settings.framesPerSecond;
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = settings.framesPerSecond;
    // A GOP of exactly `gop` frames (the frame types are given with each frame), no B-frames, IDR key frames
    // with the stream headers in front.
    param.i_keyint_max = settings.gop == 0 ? X264_KEYINT_MAX_INFINITE : static_cast<int>(settings.gop);
    param.i_keyint_min = settings.gop == 0 ? X264_KEYINT_MAX_INFINITE : static_cast<int>(settings.gop);
    param.i_scenecut_threshold = 0;
    param.i_bframe = 0;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.i_threads = 1;
    param.i_log_level = X264_LOG_NONE;
    // Every frame's quantiser is given with the frame; the constant one only has to be valid. In this mode
    // x264 clamps every quantiser, the given ones too, to those its I/P and P/B factors make of the constant
    // one (with the defaults 23 to 26): factors that reach over the rate control's range leave the choice to
    // it. They serve nothing else here (the I and P quantisers come with the frames, there are no B-frames);
    // the range is not wider than needed, since x264 keeps tables for each quantiser in it.
    const auto [lowest, highest] = encoder->rate_.quantiserRange();
    param.rc.i_rc_method = X264_RC_CQP;
    param.rc.i_qp_constant = kSteadyQp;
    param.rc.f_ip_factor = std::exp2(static_cast<float>(kSteadyQp - lowest) / 6.0f);
    param.rc.f_pb_factor = std::exp2(static_cast<float>(highest - kSteadyQp) / 6.0f);
    if (x264_param_apply_profile(&param, ProfileName(settings.profile)) < 0) {
        mediaLogger().LogError(ARA_LOG_HERE)
            << "x264: profile " << ProfileName(settings.profile) << " refused";
        return nullptr;
    }
    encoder->encoder_.reset(x264_encoder_open(&param));
    if (!encoder->encoder_) {
        mediaLogger().LogError(ARA_LOG_HERE)
            << "x264 did not open for " << settings.width << " x " << settings.height;
        return nullptr;
    }
    return encoder;
}

bool X264Encoder::encode(const FramePlanes& frame, std::int64_t frameIndex, PacketSink& sink) {
    const bool key = settings_.gop == 0 ? frameIndex == 0 : frameIndex % settings_.gop == 0;
    const int qp = rate_.nextQp(key);
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    picture.img.plane[0] = const_cast<std::uint8_t*>(frame.luma);
    picture.img.plane[1] = const_cast<std::uint8_t*>(frame.chroma);
    picture.img.i_stride[0] = static_cast<int>(frame.lumaStride);
    picture.img.i_stride[1] = static_cast<int>(frame.chromaStride);
    picture.i_pts = frameIndex;
    picture.i_type = key ? X264_TYPE_IDR : X264_TYPE_P;
    picture.i_qpplus1 = qp + 1;
    x264_nal_t* units = nullptr;
    int unitCount = 0;
    x264_picture_t encoded;
    const int bytes = x264_encoder_encode(encoder_.get(), &units, &unitCount, &picture, &encoded);
    if (bytes < 0) {
        mediaLogger().LogError(ARA_LOG_HERE) << "x264 failed on frame " << static_cast<long long>(frameIndex);
        return false;
    }
    if (bytes == 0) {
        return true;
    }
    rate_.frameDone(key, qp, static_cast<std::uint64_t>(bytes));
    // x264 lays a frame's units out back to back: the whole frame is one packet.
    sink.onPacket(EncodedPacket{units[0].p_payload, static_cast<std::uint32_t>(bytes), encoded.i_pts,
                                encoded.b_keyframe != 0});
    return true;
}

}  // namespace mpu::internal
