#pragma once

// The figures the page shows, from what the subscriber sees: per camera frames per second, publish-to-receive
// latency p50/p99, bit rate, key-frame interval and frames estimated lost; and the application's state.
// Windows close once a second (TakeWindow). Not thread-safe: the receiving thread owns it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame_continuity.h"
#include "percentiles.h"
#include "view_server.h"
#include "viewer_queue.h"

namespace camera_view {

enum class CameraState { kWaiting, kStreaming, kStopped };
enum class ApplicationState { kWaiting, kRunning, kSilent, kNotOffered, kRouDiLost };

const char* Name(CameraState state) noexcept;
const char* Name(ApplicationState state) noexcept;

struct CameraWindow {
    int platformId{0};
    CameraState state{CameraState::kWaiting};
    double fps{0};
    double latencyP50Ms{0};
    double latencyP99Ms{0};
    double bitRateKbps{0};
    std::uint32_t keyIntervalFrames{0};  // frames from the previous key frame to the latest; 0 before two
    double keyIntervalMs{0};
    // Frames lost in this window: read from the frames' slice headers as the recorder does, or estimated
    // from gaps in the publish stamps until the camera's codec is known.
    std::uint64_t estimatedLost{0};
    std::uint64_t damaged{0};       // in this window: received, but predicted from a lost frame
    std::uint64_t frames{0};        // since the start
    std::uint64_t lostTotal{0};     // since the start
    std::uint64_t damagedTotal{0};  // since the start
};

// What the process knows of the transport when a window closes.
struct TransportView {
    bool rouDiRunning{true};
    bool offered{true};
    std::uint64_t missedSamples{0};
    std::uint64_t decodeFailures{0};
};

struct Figures {
    double uptimeSeconds{0};
    ApplicationState state{ApplicationState::kWaiting};
    TransportView transport;
    std::array<CameraWindow, kCameras> cameras;
};

using camera_tools::NearestRank;

class FigureBoard {
  public:
    FigureBoard();

    // One received frame of camera `camera` (0..3): receive time (monotonic ns), publish stamp and receive
    // time (ns since the epoch), encoded size, key-frame flag; with its bytes, when given, the frames lost
    // and damaged are read from its slice header.
    void AddFrame(int camera, std::int64_t receiveMonotonicNs, std::int64_t publishNs, std::int64_t receiveNs,
                  std::size_t bytes, bool key, const std::uint8_t* data = nullptr);

    // Closes the window that ends at `nowMonotonicNs`, `uptimeSeconds` after the start.
    Figures TakeWindow(std::int64_t nowMonotonicNs, double uptimeSeconds, const TransportView& transport);

    // A window without a frame of a camera that streamed before makes it "stopped"; one without any sample
    // makes the application "silent".
    static constexpr std::int64_t kStoppedAfterNs = 1'000'000'000;

  private:
    struct Camera {
        std::uint64_t frames{0};
        std::uint64_t lostTotal{0};
        std::uint64_t damagedTotal{0};
        std::optional<camera_tools::FrameContinuityTracker> continuity;  // from the first key frame on
        std::uint64_t windowLost{0};                                     // by the slice headers
        std::uint64_t windowDamaged{0};
        std::int64_t lastReceiveNs{0};
        std::int64_t lastPublishNs{0};
        bool seenKey{false};
        std::uint64_t lastKeyFrame{0};
        std::int64_t lastKeyPublishNs{0};
        std::uint32_t keyIntervalFrames{0};
        double keyIntervalMs{0};
        // The open window.
        std::uint64_t windowFrames{0};
        std::uint64_t windowBytes{0};
        std::vector<double> latenciesMs;
        std::vector<double> intervalsMs;  // between consecutive publish stamps
    };

    std::array<Camera, kCameras> cameras_;
    std::int64_t windowStartNs_{-1};
    std::int64_t lastSampleNs_{0};
    bool anySample_{false};
};

// The figures as the page's text message: {"type":"figures", ...}, with the server's viewers and what it
// refused.
std::string FiguresJson(const Figures& figures, const ServerCounters& server);

}  // namespace camera_view
