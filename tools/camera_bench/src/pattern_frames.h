#pragma once

// The comparison's input: camera frames of the test pattern in a raw NV12 file, the format ffmpeg's
// rawvideo demuxer reads.

#include <cstddef>
#include <cstdint>
#include <string>

#include "bench_error.h"

namespace camera_bench {

struct FrameFile {
    std::string path;
    int width{1920};
    int height{1080};
    int frames{0};
    std::uint64_t firstSequence{0};  // the pattern's frame numbers of the first and last frame
    std::uint64_t lastSequence{0};
    std::size_t frameBytes() const { return static_cast<std::size_t>(width) * height * 3 / 2; }
};

// Runs camera 8 of the camera service alone, showing the test pattern faster than real time (its settings
// are written to `sourceConfig` and named by VCU_CAMERA_CONFIG), and stores its next `count` frames back
// to back in `file.path`: `file` with its frames and their sequence numbers filled in. The error says whether
// the service or the file failed.
BenchResult<FrameFile> renderPatternFrames(const std::string& sourceConfig, int count, FrameFile file);

}  // namespace camera_bench
