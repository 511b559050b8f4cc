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

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const;
};
struct ParserContextDeleter {
    void operator()(AVCodecParserContext* parser) const;
};
// An output format context: closes its file (when the format writes one) and frees the context. It does not
// write the trailer; whoever opened the file decides whether it is complete.
struct OutputContextDeleter {
    void operator()(AVFormatContext* context) const;
};
// An input format context opened with avformat_open_input.
struct InputContextDeleter {
    void operator()(AVFormatContext* context) const;
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const;
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const;
};
struct ScaleContextDeleter {
    void operator()(SwsContext* context) const;
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using ParserContextPtr = std::unique_ptr<AVCodecParserContext, ParserContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScaleContextPtr = std::unique_ptr<SwsContext, ScaleContextDeleter>;

// FFmpeg's text for an error code, e.g. "Invalid data found when processing input".
std::string AvErrorText(int code);

}  // namespace ffmpeg
