#include "video_encoder.h"

#include <cmath>
#include <cstdio>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}
#include <libyuv/convert.h>

#include "media_log.h"
#include "x264_encoder.h"

namespace mpu::internal {
namespace {

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

const char* PresetName(std::uint32_t preset) {
    static constexpr const char* kNames[] = {"ultrafast", "superfast", "veryfast",
                                             "faster",    "fast",      "medium"};
    return preset < sizeof(kNames) / sizeof(kNames[0]) ? kNames[preset] : kNames[0];
}

const char* ProfileName(const EncoderSettings& settings) {
    if (settings.codec == Codec::kH265) {
        return "main";
    }
    static constexpr const char* kNames[] = {"baseline", "main", "high"};
    return settings.profile < 3 ? kNames[settings.profile] : kNames[0];
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", value);
    return text;
}

// Settings passed to the codec library itself. They come after libavcodec's own mapping of the context
// fields, so they decide: a GOP of exactly `gop` frames (no scene-cut key frames), key frames that are IDR
// frames with the stream headers in front, no B-frames.
std::string CodecParameters(const EncoderSettings& settings) {
    std::string params;
    if (settings.gop == 0) {
        // One IDR frame at the start and none after it, as the publisher's key-frame flag assumes.
        params = settings.codec == Codec::kH265 ? "keyint=-1" : "keyint=infinite";
    } else {
        const std::string gop = std::to_string(settings.gop);
        params = "keyint=" + gop + ":min-keyint=" + gop;
    }
    params += ":scenecut=0:bframes=0:repeat-headers=1";
    // The I/P quantiser delta as the codec's ratio of quantiser steps (a step doubles every 6 QP).
    std::int32_t delta = settings.ipQpDelta;
    if (settings.rateControl == RateControl::kFixedQp) {
        delta = static_cast<std::int32_t>(settings.pQp) - static_cast<std::int32_t>(settings.iQp);
        params += ":qp=" + std::to_string(settings.pQp);
    }
    params += ":ipratio=" + Number(std::pow(2.0, delta / 6.0));
    if (settings.codec == Codec::kH265) {
        params += ":open-gop=0:frame-threads=1:log-level=error";
    } else {
        params += ":log=0";
    }
    return params;
}

void NoRelease(void* /*opaque*/, std::uint8_t* /*data*/) {}

}  // namespace

std::unique_ptr<VideoEncoder> VideoEncoder::open(const EncoderSettings& settings) {
    if (settings.codec == Codec::kH264 && settings.rateControl == RateControl::kVariable) {
        return X264Encoder::open(settings);
    }
    return AvcodecEncoder::open(settings);
}

AvcodecEncoder::~AvcodecEncoder() = default;

std::unique_ptr<VideoEncoder> AvcodecEncoder::open(const EncoderSettings& settings) {
    const char* library = settings.codec == Codec::kH264 ? "libx264" : "libx265";
    const AVCodec* codec = avcodec_find_encoder_by_name(library);
    if (codec == nullptr) {
        mediaLogger().LogError(ARA_LOG_HERE)
            << "encoder library " << library << " is not available in libavcodec";
        return nullptr;
    }
    std::unique_ptr<AvcodecEncoder> encoder(new AvcodecEncoder());
    encoder->codec_ = settings.codec;
    encoder->context_.reset(avcodec_alloc_context3(codec));
    encoder->frame_.reset(av_frame_alloc());
    encoder->packet_.reset(av_packet_alloc());
    if (!encoder->context_ || !encoder->frame_ || !encoder->packet_) {
        return nullptr;
    }

    AVCodecContext* context = encoder->context_.get();
    context->width = static_cast<int>(settings.width);
    context->height = static_cast<int>(settings.height);
    context->pix_fmt = settings.codec == Codec::kH264 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, static_cast<int>(settings.framesPerSecond)};
    context->framerate = AVRational{static_cast<int>(settings.framesPerSecond), 1};
    if (settings.gop != 0) {
        context->gop_size = static_cast<int>(settings.gop);
        context->keyint_min = static_cast<int>(settings.gop);
    }
    context->max_b_frames = 0;
    context->thread_count = 1;
    const std::int64_t window = settings.statTimeSeconds;
    switch (settings.rateControl) {
        case RateControl::kVariable:
            // Quality-driven, capped by the maximum rate over the statistics window.
            context->rc_max_rate = std::int64_t{settings.maxBitRateKbps} * 1000;
            context->rc_buffer_size = static_cast<int>(context->rc_max_rate * window);
            if (settings.maxQp != 0) {
                context->qmin = static_cast<int>(settings.minQp);
                context->qmax = static_cast<int>(settings.maxQp);
            }
            break;
        case RateControl::kConstant:
            context->bit_rate = std::int64_t{settings.bitRateKbps} * 1000;
            context->rc_max_rate = context->bit_rate;
            context->rc_buffer_size = static_cast<int>(context->bit_rate * window);
            break;
        case RateControl::kFixedQp:
            break;
    }

    const std::string params = CodecParameters(settings);
    const char* paramsKey = settings.codec == Codec::kH264 ? "x264-params" : "x265-params";
    const struct {
        const char* key;
        const char* value;
    } options[] = {{"preset", PresetName(settings.speedPreset)},
                   {"tune", "zerolatency"},
                   {"profile", ProfileName(settings)},
                   {paramsKey, params.c_str()}};
    for (const auto& option : options) {
        const int result = av_opt_set(context->priv_data, option.key, option.value, 0);
        if (result < 0) {
            mediaLogger().LogError(ARA_LOG_HERE) << library << ": option " << option.key << "="
                                                 << option.value << " refused: " << AvError(result);
            return nullptr;
        }
    }
    const int opened = avcodec_open2(context, codec, nullptr);
    if (opened < 0) {
        mediaLogger().LogError(ARA_LOG_HERE) << library << " did not open for " << settings.width << " x "
                                             << settings.height << " (" << params << "): " << AvError(opened);
        return nullptr;
    }

    AVFrame* frame = encoder->frame_.get();
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;
    if (settings.codec == Codec::kH264) {
        // The frame's planes are the caller's memory. A buffer reference that owns nothing marks the frame as
        // reference-counted, so libavcodec takes it as it is instead of copying the picture.
        static std::uint8_t placeholder = 0;
        frame->buf[0] = av_buffer_create(&placeholder, 1, NoRelease, nullptr, AV_BUFFER_FLAG_READONLY);
        if (frame->buf[0] == nullptr) {
            return nullptr;
        }
    } else if (av_frame_get_buffer(frame, 0) < 0) {
        return nullptr;
    }
    return encoder;
}

bool AvcodecEncoder::encode(const FramePlanes& planes, std::int64_t frameIndex, PacketSink& sink) {
    AVFrame* frame = frame_.get();
    if (codec_ == Codec::kH264) {
        frame->data[0] = const_cast<std::uint8_t*>(planes.luma);
        frame->data[1] = const_cast<std::uint8_t*>(planes.chroma);
        frame->linesize[0] = static_cast<int>(planes.lumaStride);
        frame->linesize[1] = static_cast<int>(planes.chromaStride);
    } else {
        if (av_frame_make_writable(frame) < 0) {
            return false;
        }
        libyuv::NV12ToI420(planes.luma, static_cast<int>(planes.lumaStride), planes.chroma,
                           static_cast<int>(planes.chromaStride), frame->data[0], frame->linesize[0],
                           frame->data[1], frame->linesize[1], frame->data[2], frame->linesize[2],
                           frame->width, frame->height);
    }
    frame->pts = frameIndex;
    const int sent = avcodec_send_frame(context_.get(), frame);
    if (sent < 0) {
        mediaLogger().LogError(ARA_LOG_HERE)
            << "encoder refused frame " << static_cast<long long>(frameIndex) << ": " << AvError(sent);
        return false;
    }
    return drain(sink);
}

bool AvcodecEncoder::drain(PacketSink& sink) {
    AVPacket* packet = packet_.get();
    for (;;) {
        const int received = avcodec_receive_packet(context_.get(), packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return true;
        }
        if (received < 0) {
            mediaLogger().LogError(ARA_LOG_HERE) << "encoder failed: " << AvError(received);
            return false;
        }
        sink.onPacket(EncodedPacket{packet->data, static_cast<std::uint32_t>(packet->size), packet->pts,
                                    (packet->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet);
    }
}

}  // namespace mpu::internal
