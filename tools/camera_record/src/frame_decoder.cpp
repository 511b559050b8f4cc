#include "frame_decoder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace camera_record {
namespace {

// Formats whose first plane is 8-bit luma, which is all the frame code reader needs.
bool HasEightBitLuma(int format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0 &&
           descriptor->nb_components >= 1 && descriptor->comp[0].plane == 0 &&
           descriptor->comp[0].depth == 8 && descriptor->comp[0].step == 1;
}

}  // namespace

RecordResult<FrameDecoder> FrameDecoder::Open(const StreamParameters& parameters,
                                              FrameCodeReader codeReader) {
    using R = RecordResult<FrameDecoder>;
    const AVCodecID id = parameters.codec == VideoCodec::kH264   ? AV_CODEC_ID_H264
                         : parameters.codec == VideoCodec::kH265 ? AV_CODEC_ID_HEVC
                                                                 : AV_CODEC_ID_NONE;
    const AVCodec* codec = avcodec_find_decoder(id);
    if (codec == nullptr) {
        return R::FromError(
            {RecordErrc::kLibrary, std::string("no libavcodec decoder for ") + CodecName(parameters.codec)});
    }
    FrameDecoder decoder(codeReader);
    decoder.context_.reset(avcodec_alloc_context3(codec));
    decoder.packet_.reset(av_packet_alloc());
    decoder.frame_.reset(av_frame_alloc());
    decoder.latest_.reset(av_frame_alloc());
    if (!decoder.context_ || !decoder.packet_ || !decoder.frame_ || !decoder.latest_) {
        return R::FromError({RecordErrc::kLibrary, "decoder cannot be allocated"});
    }
    AVCodecContext* context = decoder.context_.get();
    // One thread and low delay: every picture comes out for the frame that carried it (the streams have no
    // B-frames), and four cameras' decoders share the recorder's single thread anyway.
    context->thread_count = 1;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->width = parameters.width;
    context->height = parameters.height;
    const int result = avcodec_open2(context, codec, nullptr);
    if (result < 0) {
        return R::FromError({RecordErrc::kLibrary, std::string("decoder ") + codec->name +
                                                       " cannot be opened (" + ffmpeg::AvErrorText(result) +
                                                       ")"});
    }
    return R::FromValue(std::move(decoder));
}

std::vector<DecodedPicture> FrameDecoder::Decode(const std::uint8_t* data, std::size_t size,
                                                 std::uint64_t frame) {
    std::vector<DecodedPicture> pictures;
    if (!context_ || flushed_ || data == nullptr || size == 0) {
        return pictures;
    }
    AVPacket* packet = packet_.get();
    if (av_new_packet(packet, static_cast<int>(size)) < 0) {
        ++decodeErrors_;
        return pictures;
    }
    std::memcpy(packet->data, data, size);
    packet->pts = static_cast<std::int64_t>(frame);
    int result = avcodec_send_packet(context_.get(), packet);
    if (result == AVERROR(EAGAIN)) {
        // The decoder wants its pictures taken first; then it takes the frame.
        Drain(pictures);
        result = avcodec_send_packet(context_.get(), packet);
    }
    av_packet_unref(packet);
    if (result < 0) {
        ++decodeErrors_;
    }
    Drain(pictures);
    return pictures;
}

std::vector<DecodedPicture> FrameDecoder::Flush() {
    std::vector<DecodedPicture> pictures;
    if (!context_ || flushed_) {
        return pictures;
    }
    flushed_ = true;
    avcodec_send_packet(context_.get(), nullptr);
    Drain(pictures);
    return pictures;
}

const AVFrame* FrameDecoder::LatestPicture() const noexcept {
    return hasLatest_ ? latest_.get() : nullptr;
}

void FrameDecoder::Drain(std::vector<DecodedPicture>& pictures) {
    AVFrame* frame = frame_.get();
    for (;;) {
        const int result = avcodec_receive_frame(context_.get(), frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        if (result < 0) {
            ++decodeErrors_;
            return;
        }
        ++picturesDecoded_;
        if ((frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame->decode_error_flags != 0) {
            ++decodeErrors_;
        }
        DecodedPicture picture;
        picture.frame = static_cast<std::uint64_t>(frame->pts);
        picture.width = frame->width;
        picture.height = frame->height;
        if (HasEightBitLuma(frame->format)) {
            picture.frameCode =
                codeReader_.Read(frame->data[0], frame->width, frame->height, frame->linesize[0]);
        }
        pictures.push_back(picture);
        av_frame_unref(latest_.get());
        av_frame_move_ref(latest_.get(), frame);
        hasLatest_ = true;
    }
}

}  // namespace camera_record
