#pragma once

// Figures of one camera's recording: counts, rates, latency percentiles, and the continuity of the test
// pattern's frame codes (gaps are frames the recorder never saw; a repeated or earlier code is disorder and
// should never happen). Its memory does not grow with the recording's length: latencies go into a histogram
// (percentiles within 0.5 %), and a window's figures are handed over with TakeWindow. Not thread-safe: the
// recorder's thread owns it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "latency_histogram.h"

namespace camera_record {

// The nearest-rank percentile: the smallest value with at least `percent` % of the values at or below it.
// 0 for no values.
double Percentile(std::vector<double> values, double percent);

// The frames of the last window of the live line.
struct WindowFigures {
    std::uint64_t frames{0};
    std::uint64_t keyFrames{0};
    double fps{0.0};
    double bitRateKbps{0.0};
    std::vector<double> latenciesMs;  // of the window's frames
    std::uint64_t lostFrames{0};
    std::uint64_t damagedFrames{0};
};

struct CameraSummary {
    std::uint64_t frames{0};
    std::uint64_t keyFrames{0};
    std::uint64_t bytes{0};
    double fps{0.0};
    double bitRateKbps{0.0};
    double latencyP50Ms{0.0};
    double latencyP99Ms{0.0};
    double latencyMaxMs{0.0};
    std::uint64_t framesWithCode{0};
    std::uint64_t codeGaps{0};
    std::uint64_t codeDisorder{0};
    std::uint64_t lostFrames{0};     // frames of the camera that never arrived, by its stream's numbering
    std::uint64_t damagedFrames{0};  // frames received but predicted from a lost one
};

class CameraStats {
  public:
    // One recorded frame: when it arrived (monotonic, ns), its size, its published key flag and latency.
    void AddFrame(std::int64_t receiveNs, std::size_t bytes, bool keyFlag, double latencyMs);
    // What the recorded frame's stream numbering says: frames lost right before it, and whether it is
    // predicted from a lost frame.
    void AddContinuity(std::uint64_t lostBefore, bool damaged);
    // The frame code of the next recorded frame in order, or nothing when it carried none.
    void AddFrameCode(std::optional<std::uint32_t> code);

    // The figures since the previous call, over a window of `seconds`; starts the next window.
    WindowFigures TakeWindow(double seconds);
    CameraSummary Summary() const;

    // Codes hold the low 16 bits of the frame number.
    static constexpr std::uint32_t kCodeModulus = 1U << 16U;

  private:
    std::uint64_t frames_{0};
    std::uint64_t keyFrames_{0};
    std::uint64_t bytes_{0};
    std::int64_t firstReceiveNs_{0};
    std::int64_t lastReceiveNs_{0};
    LatencyHistogram latencies_;
    std::uint64_t lostFrames_{0};
    std::uint64_t damagedFrames_{0};

    WindowFigures window_;
    std::uint64_t windowBytes_{0};

    std::optional<std::uint32_t> lastCode_;
    std::uint64_t framesSinceCode_{0};
    std::uint64_t framesWithCode_{0};
    std::uint64_t codeGaps_{0};
    std::uint64_t codeDisorder_{0};
};

}  // namespace camera_record
