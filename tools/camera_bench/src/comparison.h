#pragma once

// The throughput comparison: our path without undistortion against ffmpeg, from the same test-pattern
// frames, and the undistorting path's stages one by one.

#include <string>
#include <vector>

#include "bench_options.h"
#include "interrupt_cleanup.h"
#include "pattern_frames.h"
#include "pipeline_throughput.h"

namespace camera_bench {

using camera_tools::ScratchDirectory;

// One round: our runs and ffmpeg's back to back, in frames per CPU-second. "One CPU" runs confine ours (the
// caller and the channel threads the preprocessor starts) and ffmpeg to a single CPU, the nearest to "one
// thread each" for a path whose stages hand the picture from thread to thread; "free" runs leave the
// scheduler alone, as the running system does.
struct ComparisonRound {
    double ours{0};          // one CPU, frames copied out of the file, as ffmpeg reads them
    double oursInMemory{0};  // one CPU, frames read where they lie (the file mapped)
    double ffmpeg{0};        // one CPU, per frame, start-up excluded; 0 without ffmpeg
    double ratio{0};         // ours / ffmpeg
    double oursFree{0};
    double ffmpegFree{0};
    double ratioFree{0};
};

struct ComparisonFigures {
    bool ok{false};  // our runs were measured
    std::string error;
    FrameFile file;
    int cpu{-1};  // the CPU of the one-CPU runs; -1 when the confinement failed (then they run free)
    std::vector<ComparisonRound> rounds;

    // Frames per second, medians over the rounds. "cpu" divides by the CPU time the work took (every thread),
    // "wall" by the elapsed time.
    double oursFpsCpu{0};
    double oursFpsWall{0};
    double oursWithSetupFpsCpu{0};  // with creating and tearing down the preprocessor
    double oursInMemoryFpsCpu{0};
    double oursFreeFpsCpu{0};

    bool ffmpegOk{false};
    std::string ffmpegError;  // why there is no ffmpeg figure
    std::string ffmpegCommand;
    int ffmpegShortFrames{0};
    // Per frame: each run of all frames less the median of the runs of the first ffmpegShortFrames, which
    // cancels the process's start-up and codec set-up.
    double ffmpegFpsCpu{0};
    double ffmpegFpsWall{0};
    double ffmpegWholeFpsCpu{0};  // whole process, start-up included
    double ffmpegFreeFpsCpu{0};
    // Median, lowest and highest of the rounds' one-CPU ratios, and the median of the free ones; NaN
    // without ffmpeg. Each round's pair runs back to back, so a ratio is steadier than the machine's speed.
    double vsFfmpeg{0};
    double vsFfmpegLowest{0};
    double vsFfmpegHighest{0};
    double vsFfmpegFree{0};

    // Busy CPU time of the machine during the rounds that was neither ours nor ffmpeg's, of all cores.
    double otherLoadPercent{0};
};

// Renders the frames into the scratch directory, then runs `options.rounds` rounds of ours and ffmpeg's
// (unless skipped). Prints progress on stdout. The path stage by stage is media_bench's.
ComparisonFigures runComparison(const BenchOptions& options, const ScratchDirectory& scratch);

}  // namespace camera_bench
