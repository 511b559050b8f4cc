#include "recording_stats.h"

#include <cmath>

#include "percentiles.h"

namespace camera_record {

double Percentile(std::vector<double> values, double percent) {
    return camera_tools::NearestRank(values, percent);
}

void CameraStats::AddFrame(std::int64_t receiveNs, std::size_t bytes, bool keyFlag, double latencyMs) {
    if (frames_ == 0) {
        firstReceiveNs_ = receiveNs;
    }
    lastReceiveNs_ = receiveNs;
    ++frames_;
    bytes_ += bytes;
    latencies_.Add(latencyMs);
    ++window_.frames;
    windowBytes_ += bytes;
    window_.latenciesMs.push_back(latencyMs);
    if (keyFlag) {
        ++keyFrames_;
        ++window_.keyFrames;
    }
}

void CameraStats::AddContinuity(std::uint64_t lostBefore, bool damaged) {
    lostFrames_ += lostBefore;
    window_.lostFrames += lostBefore;
    if (damaged) {
        ++damagedFrames_;
        ++window_.damagedFrames;
    }
}

void CameraStats::AddFrameCode(std::optional<std::uint32_t> code) {
    if (!code) {
        ++framesSinceCode_;
        return;
    }
    ++framesWithCode_;
    if (lastCode_) {
        // Frames received since the last code; the codes should have advanced by at least that much.
        const std::uint64_t received = framesSinceCode_ + 1U;
        const std::uint32_t advance = (*code - *lastCode_) % kCodeModulus;
        if (advance == 0 || advance >= kCodeModulus / 2U || advance < received) {
            ++codeDisorder_;
        } else {
            codeGaps_ += advance - received;
        }
    }
    lastCode_ = code;
    framesSinceCode_ = 0;
}

WindowFigures CameraStats::TakeWindow(double seconds) {
    WindowFigures figures = std::move(window_);
    if (seconds > 0.0) {
        figures.fps = static_cast<double>(figures.frames) / seconds;
        figures.bitRateKbps = static_cast<double>(windowBytes_) * 8.0 / 1000.0 / seconds;
    }
    window_ = WindowFigures();
    windowBytes_ = 0;
    return figures;
}

CameraSummary CameraStats::Summary() const {
    CameraSummary summary;
    summary.frames = frames_;
    summary.keyFrames = keyFrames_;
    summary.bytes = bytes_;
    const double span = static_cast<double>(lastReceiveNs_ - firstReceiveNs_) / 1e9;
    if (frames_ >= 2 && span > 0.0) {
        summary.fps = static_cast<double>(frames_ - 1U) / span;
        summary.bitRateKbps =
            static_cast<double>(bytes_) / static_cast<double>(frames_) * 8.0 * summary.fps / 1000.0;
    }
    summary.latencyP50Ms = latencies_.Percentile(50.0);
    summary.latencyP99Ms = latencies_.Percentile(99.0);
    summary.latencyMaxMs = latencies_.Max();
    summary.framesWithCode = framesWithCode_;
    summary.codeGaps = codeGaps_;
    summary.codeDisorder = codeDisorder_;
    summary.lostFrames = lostFrames_;
    summary.damagedFrames = damagedFrames_;
    return summary;
}

}  // namespace camera_record
