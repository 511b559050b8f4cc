#pragma once

// Owners of FFmpeg's objects, for every part of the project that uses FFmpeg. Each is move-only and frees
// its object exactly once, with the call FFmpeg pairs with its allocation; no other code frees an FFmpeg
// object itself. The FFmpeg headers stay out of this header.

#include <memory>
#include <string>

struct AVCodecContext;
struct AVCodecParserContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace ffmpeg {

// Each frees its object with the call FFmpeg pairs with its allocation.
void Free(AVCodecContext* context);
void Free(AVCodecParserContext* parser);
void Free(AVFrame* frame);
void Free(AVPacket* packet);
void Free(SwsContext* context);

struct Deleter {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};

// A format context is given back by how it was opened. An input one was opened with avformat_open_input.
// An output one: closes its file (when the format writes one) and frees the context. It does not write the
// trailer; whoever opened the file decides whether it is complete.
struct InputContextDeleter {
    void operator()(AVFormatContext* context) const;
};
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const;
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, Deleter>;
using ParserContextPtr = std::unique_ptr<AVCodecParserContext, Deleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, Deleter>;
using PacketPtr = std::unique_ptr<AVPacket, Deleter>;
using ScaleContextPtr = std::unique_ptr<SwsContext, Deleter>;

// FFmpeg's text for an error code, e.g. "Invalid data found when processing input".
std::string AvErrorText(int code);

}  // namespace ffmpeg
