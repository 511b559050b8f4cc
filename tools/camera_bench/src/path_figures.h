#pragma once

// The undistorting per-frame path on its own, one frame after another, beside its floors measured in the
// same run, and the quality of what it encodes:
// - our path: CamPreprocess as camera 8 of the system run drives it (wide-lens undistortion, crop-resize to
//   1280 x 720, BGR, H.264), its CPU per frame in all and stage by stage (the media unit's own accounting);
// - x264 alone: libx264 through libavcodec at the settings the application's encoder had before its rate
//   control was made the platform's (CRF under the 4 Mbit/s VBV cap, x264's own lookahead), encoding
//   exactly the pictures our encoder was given;
// - one memcpy of a 1920 x 1080 NV12 frame;
// - PSNR of our stream and of x264's against the pipeline's exact output: undistortion and resize computed
//   in double precision from the same maps and frames, rounded once at the end; x264's also at a mean rate
//   of the cap, and at the best of a few settings with which it holds the cap in every second.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench_error.h"
#include "mpu/stage_cpu.h"
#include "pattern_frames.h"

namespace camera_bench {

// How x264 alone controls its rate: a mean rate (ABR; 0: a constant quality, CRF) under a VBV of a maximum
// rate and a buffer, in bit/s and bits. The VBV lets any second carry up to the maximum rate plus the buffer.
struct X264Rate {
    std::int64_t meanBitRate{0};
    std::int64_t maxBitRate{0};
    std::int64_t bufferBits{0};
};

// What x264 alone reached at one rate setting.
struct X264Outcome {
    X264Rate rate;
    double psnrDb{0};  // against the same reference as our stream
    double kbps{0};    // the mean rate, and the highest over any 30 frames (1 s)
    double peakKbps{0};
};

struct PathFigures {
    bool ok{false};
    std::string error;
    int frames{0};
    double pathCpuMs{0};  // our path per frame, every thread of the process
    std::array<double, mpu::kStageCount> stageCpuUs{};
    double x264FloorMs{0};  // x264 alone per frame, on the pictures our encoder got
    double memcpyUs{0};     // one memcpy of a 1080p NV12 frame
    double psnrDb{0};       // our stream against the exact output, Y, U and V together
    double psnrLumaDb{0};
    double picturePsnrDb{0};  // the pictures our encoder was given, before encoding
    double kbps{0};           // our stream's mean rate, and the highest over any 30 frames (1 s)
    double peakKbps{0};
    X264Outcome x264Floor;  // at the former settings, on the same pictures (its CPU is x264FloorMs)
    X264Outcome x264AtCap;  // the same but aiming at the cap as its mean rate (ABR)
    // The best x264 alone reached while holding the cap in every second as our stream must; no value when
    // none of its settings held it.
    std::optional<X264Outcome> x264HoldingCap;
};

// Runs the path over the first `frames` frames of `file` with the undistortion maps `mapX` and `mapY`
// (raw float files of the frame size).
PathFigures measurePath(const FrameFile& file, const std::string& mapX, const std::string& mapY, int frames);

// PSNR of a mean squared error over 8-bit samples; infinity for 0.
double psnrOf(double meanSquaredError);

// The highest sum of any `window` consecutive values, as bits per second at `fps` frames per second.
double peakRateKbps(const std::vector<std::size_t>& frameBytes, std::size_t window, double fps);

// Of `outcomes`, the one of the highest PSNR among those whose busiest second stayed within `capKbps`.
std::optional<X264Outcome> bestHoldingCap(const std::vector<X264Outcome>& outcomes, double capKbps);

}  // namespace camera_bench
