#pragma once

// Real encoded frames and readers of the recorder's files for the recorder's tests: a libx264/libx265
// encoder of a moving picture that carries the test pattern's frame code, and a libavformat/libavcodec
// reader that decodes a written file back.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "stream_format.h"

namespace camera_record::test {

struct EncodedFrame {
    std::vector<std::uint8_t> bytes;
    bool key{false};
};

// `count` frames of `width` x `height` (at least 352 x 288 to carry the code), frame i with code
// firstCode + i at scale 1; an IDR frame with the parameter sets every `gop` frames, no B-frames.
std::vector<EncodedFrame> EncodePattern(VideoCodec codec, int width, int height, int count, int gop,
                                        std::uint32_t firstCode = 0);

// What a media file holds, decoded.
struct MediaProbe {
    std::string error;  // empty when the file opened
    std::string codecName;
    int width{0};
    int height{0};
    std::vector<std::int64_t> ptsNs;  // per packet, in file order (empty for raw streams without stamps)
    std::vector<bool> keyPackets;
    int decodedFrames{0};
    std::vector<std::optional<std::uint32_t>> codes;  // per decoded picture, read at scale 1
};

// A small tmpfs mounted on a directory of the test's own, unmounted when destroyed: a disk that fills up.
class SmallDisk {
  public:
    SmallDisk(const std::string& directory, const std::string& size);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    // Empty when the tmpfs is mounted.
    const std::string& Error() const noexcept { return error_; }

  private:
    std::string directory_;
    std::string error_;
};

// `format` names the demuxer ("h264", "hevc") for elementary streams; nullptr lets libavformat probe.
MediaProbe ProbeMedia(const std::string& path, const char* format = nullptr);

}  // namespace camera_record::test
