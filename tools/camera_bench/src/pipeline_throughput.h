#pragma once

// Our per-frame path on one camera frame after another, the way a camera worker drives CamPreprocess, on
// the calling thread (the media unit's picture and encoder channels do the work while it waits, one task at
// a time).

#include <string>

#include "bench_error.h"
#include "pattern_frames.h"

namespace camera_bench {

// The comparison's crop: margins of 54 rows and 96 columns on each side (a 1728 x 972 window), resized to
// 1280 x 720.
constexpr int kCropTop = 54;
constexpr int kCropLeft = 96;
constexpr int kOutputWidth = 1280;
constexpr int kOutputHeight = 720;

// Where the preprocessor reads the frames: in place in memory (the frame file mapped, as a camera worker
// reads the camera's buffer), or copied out of the file into one buffer first (as ffmpeg reads its input).
enum class FrameInput { kInPlace, kCopied };

struct ThroughputRun {
    int frames{0};
    double setupCpuSeconds{0};  // creating and starting the preprocessor, and tearing it down
    double wallSeconds{0};      // the frame loop
    double cpuSeconds{0};       // the frame loop, every thread of the process
};

// Without undistortion: crop-resize, conversion to BGR and H.264 encoding of every frame of `file`, by a
// preprocessor created for this run. The error says which step failed.
BenchResult<ThroughputRun> runPipeline(const FrameFile& file, FrameInput input);

}  // namespace camera_bench
