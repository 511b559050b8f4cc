#pragma once

#include <cstdint>
#include <string>

#include "ffmpeg/handles.h"
#include "frame_source.h"

namespace vcu::camera::internal {

// Any video file FFmpeg can read: its first video stream, decoded picture by picture, scaled to the camera's
// size as NV12 and started again at the end. One decoded picture per captured frame, so the video plays at
// the camera's rate.
class VideoFileSource final : public FrameSource {
  public:
    // Opens the file and decodes its first picture, so that a file that cannot be played fails here.
    static SourceResult open(const std::string& path, int width, int height);

    bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) override;
    std::string describe() const override { return "video file " + path_; }

  private:
    VideoFileSource(std::string path, int width, int height);

    bool decodeNext();
    bool rewind();

    std::string path_;
    int width_;
    int height_;
    ffmpeg::InputContextPtr format_;
    ffmpeg::CodecContextPtr decoder_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
    ffmpeg::ScaleContextPtr scaler_;
    int streamIndex_{-1};
    bool framePending_{false};  // frame_ holds a picture that no fill has used yet
    std::uint64_t framesSinceRewind_{0};
};

}  // namespace vcu::camera::internal
