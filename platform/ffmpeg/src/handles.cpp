#include "ffmpeg/handles.h"

#include "ffmpeg/log_route.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace ffmpeg {

namespace {

// Every process that uses FFmpeg's objects links this file: its libav messages go through ara::log from the
// start, before any component opens a decoder or an encoder.
[[maybe_unused]] const bool kLogRouted = (RouteLogToAra(), true);

}  // namespace

void Free(AVCodecContext* context) {
    avcodec_free_context(&context);
}

void Free(AVCodecParserContext* parser) {
    av_parser_close(parser);
}

void OutputContextDeleter::operator()(AVFormatContext* context) const {
    if (context == nullptr) {
        return;
    }
    if (context->oformat != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

void InputContextDeleter::operator()(AVFormatContext* context) const {
    avformat_close_input(&context);
}

void Free(AVFrame* frame) {
    av_frame_free(&frame);
}

void Free(AVPacket* packet) {
    av_packet_free(&packet);
}

void Free(SwsContext* context) {
    sws_freeContext(context);
}

std::string AvErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

}  // namespace ffmpeg
