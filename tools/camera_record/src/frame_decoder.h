#pragma once

// Decodes one camera's stream with libavcodec, keeps the latest picture and reads the test pattern's frame
// code from every picture. Frames go in with their number in the recording and come out with it, so a
// decoder that holds pictures back cannot mix up which code belongs to which frame. Move-only; not
// thread-safe.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/handles.h"
#include "frame_code_reader.h"
#include "record_error.h"
#include "stream_format.h"

namespace camera_record {

struct DecodedPicture {
    std::uint64_t frame{0};  // the number the frame went in with
    int width{0};
    int height{0};
    std::optional<std::uint32_t> frameCode;
};

class FrameDecoder {
  public:
    // A decoder for the stream `parameters` describes. `codeReader` reads the frame codes.
    static RecordResult<FrameDecoder> Open(const StreamParameters& parameters,
                                           FrameCodeReader codeReader = FrameCodeReader());

    // Decodes one access unit; returns the pictures that came out (with this decoder, usually exactly this
    // frame). A frame that does not decode is counted in DecodeErrors and yields nothing.
    std::vector<DecodedPicture> Decode(const std::uint8_t* data, std::size_t size, std::uint64_t frame);
    // Returns the pictures the decoder still holds; the decoder accepts no frames afterwards.
    std::vector<DecodedPicture> Flush();

    // The latest decoded picture, or nullptr before the first.
    const AVFrame* LatestPicture() const noexcept;
    std::uint64_t DecodeErrors() const noexcept { return decodeErrors_; }
    std::uint64_t PicturesDecoded() const noexcept { return picturesDecoded_; }

  private:
    explicit FrameDecoder(FrameCodeReader codeReader) : codeReader_(codeReader) {}
    void Drain(std::vector<DecodedPicture>& pictures);

    ffmpeg::CodecContextPtr context_;
    ffmpeg::PacketPtr packet_;
    ffmpeg::FramePtr frame_;
    ffmpeg::FramePtr latest_;
    FrameCodeReader codeReader_;
    std::uint64_t decodeErrors_{0};
    std::uint64_t picturesDecoded_{0};
    bool hasLatest_{false};
    bool flushed_{false};
};

}  // namespace camera_record
