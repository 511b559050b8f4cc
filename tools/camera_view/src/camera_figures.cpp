#include "camera_figures.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace camera_view {

namespace {

constexpr int kFirstPlatformId = 8;
// Enough room for a window of a fast camera without growing on the frame path.
constexpr std::size_t kWindowReserve = 256;

double Round(double value, double scale) {
    return std::round(value * scale) / scale;
}

// Frames that should have come between two stamps `intervalMs` apart when the camera's period is
// `periodMs`: a gap of n periods lost n - 1 frames.
std::uint64_t LostInGap(double intervalMs, double periodMs) {
    if (periodMs <= 0 || intervalMs < 1.5 * periodMs) {
        return 0;
    }
    return static_cast<std::uint64_t>(std::llround(intervalMs / periodMs)) - 1U;
}

// In the order of each enum; a value out of range reads as the first, "waiting".
constexpr const char* kCameraStateNames[] = {"waiting", "streaming", "stopped"};
constexpr const char* kApplicationStateNames[] = {"waiting", "running", "silent", "not offered",
                                                  "RouDi lost"};

template <std::size_t N, class Enum>
const char* NameIn(const char* const (&names)[N], Enum value) noexcept {
    const auto index = static_cast<std::size_t>(value);
    return index < N ? names[index] : names[0];
}

}  // namespace

const char* Name(CameraState state) noexcept {
    return NameIn(kCameraStateNames, state);
}

const char* Name(ApplicationState state) noexcept {
    return NameIn(kApplicationStateNames, state);
}

FigureBoard::FigureBoard() {
    for (Camera& camera : cameras_) {
        camera.latenciesMs.reserve(kWindowReserve);
        camera.intervalsMs.reserve(kWindowReserve);
    }
}

void FigureBoard::AddFrame(int camera, std::int64_t receiveMonotonicNs, std::int64_t publishNs,
                           std::int64_t receiveNs, std::size_t bytes, bool key, const std::uint8_t* data) {
    if (camera < 0 || camera >= kCameras) {
        return;
    }
    Camera& c = cameras_[static_cast<std::size_t>(camera)];
    if (data != nullptr && !c.continuity && key) {
        const camera_tools::VideoCodec codec = camera_tools::DetectCodec(data, bytes);
        if (codec != camera_tools::VideoCodec::kUnknown) {
            c.continuity.emplace(codec);
        }
    }
    if (data != nullptr && c.continuity) {
        const camera_tools::FrameContinuity continuity = c.continuity->Next(data, bytes, publishNs);
        c.windowLost += continuity.lostBefore;
        c.windowDamaged += continuity.damaged ? 1U : 0U;
    }
    if (c.frames > 0) {
        c.intervalsMs.push_back(static_cast<double>(publishNs - c.lastPublishNs) / 1e6);
    }
    if (key) {
        if (c.seenKey) {
            c.keyIntervalFrames = static_cast<std::uint32_t>(c.frames - c.lastKeyFrame);
            c.keyIntervalMs = static_cast<double>(publishNs - c.lastKeyPublishNs) / 1e6;
        }
        c.seenKey = true;
        c.lastKeyFrame = c.frames;
        c.lastKeyPublishNs = publishNs;
    }
    ++c.frames;
    ++c.windowFrames;
    c.windowBytes += bytes;
    c.latenciesMs.push_back(static_cast<double>(receiveNs - publishNs) / 1e6);
    c.lastReceiveNs = receiveMonotonicNs;
    c.lastPublishNs = publishNs;
    lastSampleNs_ = receiveMonotonicNs;
    anySample_ = true;
}

Figures FigureBoard::TakeWindow(std::int64_t nowMonotonicNs, double uptimeSeconds,
                                const TransportView& transport) {
    Figures figures;
    figures.uptimeSeconds = uptimeSeconds;
    figures.transport = transport;
    const double seconds =
        windowStartNs_ < 0 ? 1.0 : std::max(1e-3, static_cast<double>(nowMonotonicNs - windowStartNs_) / 1e9);
    windowStartNs_ = nowMonotonicNs;

    for (std::size_t i = 0; i < cameras_.size(); ++i) {
        Camera& c = cameras_[i];
        CameraWindow& w = figures.cameras[i];
        w.platformId = kFirstPlatformId + static_cast<int>(i);
        w.state = c.frames == 0                                        ? CameraState::kWaiting
                  : nowMonotonicNs - c.lastReceiveNs > kStoppedAfterNs ? CameraState::kStopped
                                                                       : CameraState::kStreaming;
        w.fps = Round(static_cast<double>(c.windowFrames) / seconds, 10);
        w.bitRateKbps = Round(static_cast<double>(c.windowBytes) * 8.0 / 1000.0 / seconds, 1);
        w.latencyP50Ms = Round(NearestRank(c.latenciesMs, 50), 100);
        w.latencyP99Ms = Round(NearestRank(c.latenciesMs, 99), 100);
        w.keyIntervalFrames = c.keyIntervalFrames;
        w.keyIntervalMs = Round(c.keyIntervalMs, 10);
        if (c.continuity) {
            w.estimatedLost = c.windowLost;
        } else {
            std::vector<double> sorted = c.intervalsMs;  // once a second, off the frame path
            const double period = NearestRank(sorted, 50);
            for (const double interval : c.intervalsMs) {
                w.estimatedLost += LostInGap(interval, period);
            }
        }
        w.damaged = c.windowDamaged;
        c.lostTotal += w.estimatedLost;
        c.damagedTotal += w.damaged;
        w.lostTotal = c.lostTotal;
        w.damagedTotal = c.damagedTotal;
        c.windowLost = 0;
        c.windowDamaged = 0;
        w.frames = c.frames;
        c.windowFrames = 0;
        c.windowBytes = 0;
        c.latenciesMs.clear();
        c.intervalsMs.clear();
    }

    if (!transport.rouDiRunning) {
        figures.state = ApplicationState::kRouDiLost;
    } else if (!transport.offered) {
        figures.state = ApplicationState::kNotOffered;
    } else if (!anySample_) {
        figures.state = ApplicationState::kWaiting;
    } else {
        figures.state = nowMonotonicNs - lastSampleNs_ > kStoppedAfterNs ? ApplicationState::kSilent
                                                                         : ApplicationState::kRunning;
    }
    return figures;
}

std::string FiguresJson(const Figures& figures, const ServerCounters& server) {
    nlohmann::json cameras = nlohmann::json::array();
    for (const CameraWindow& w : figures.cameras) {
        cameras.push_back({{"id", w.platformId},
                           {"state", Name(w.state)},
                           {"fps", w.fps},
                           {"latencyP50Ms", w.latencyP50Ms},
                           {"latencyP99Ms", w.latencyP99Ms},
                           {"bitRateKbps", w.bitRateKbps},
                           {"keyIntervalFrames", w.keyIntervalFrames},
                           {"keyIntervalMs", w.keyIntervalMs},
                           {"lost", w.estimatedLost},
                           {"lostTotal", w.lostTotal},
                           {"damaged", w.damaged},
                           {"damagedTotal", w.damagedTotal},
                           {"frames", w.frames}});
    }
    const nlohmann::json message = {{"type", "figures"},
                                    {"uptimeS", Round(figures.uptimeSeconds, 10)},
                                    {"state", Name(figures.state)},
                                    {"missedSamples", figures.transport.missedSamples},
                                    {"decodeFailures", figures.transport.decodeFailures},
                                    {"viewers", server.viewers},
                                    {"refused",
                                     {{"host", server.refusedHosts},
                                      {"origin", server.refusedOrigins},
                                      {"viewers", server.refusedViewers},
                                      {"connections", server.refusedConnections}}},
                                    {"failedAccepts", server.failedAccepts},
                                    {"cameras", std::move(cameras)}};
    return message.dump();
}

}  // namespace camera_view
