#pragma once

// The reference: the ffmpeg command doing the same crop, resize and H.264 encoding on one thread.

#include <string>
#include <vector>

#include "bench_error.h"
#include "pattern_frames.h"

namespace camera_bench {

struct FfmpegRun {
    int frames{0};
    double wallSeconds{0};  // spawn to reap
    double cpuSeconds{0};   // user + system of the process, from wait4
};

// ffmpeg reading the first `frames` frames of `file` as raw NV12, cropping the comparison's window, scaling
// bilinearly to 1280 x 720 and encoding with libx264 (ultrafast, 4 Mbit/s, GOP 30 like ours) on one thread
// (-threads 1, -filter_threads 1), the output discarded (-f null).
std::vector<std::string> ffmpegCommand(const std::string& binary, const FrameFile& file, int frames);

// Runs that command; its output goes to `logFile`. The error (with the log's end) when ffmpeg cannot start or
// fails.
BenchResult<FfmpegRun> runFfmpeg(const std::string& binary, const FrameFile& file, int frames,
                                 const std::string& logFile);

}  // namespace camera_bench
