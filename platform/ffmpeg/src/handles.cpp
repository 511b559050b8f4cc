#include "ffmpeg/handles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace ffmpeg {

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
