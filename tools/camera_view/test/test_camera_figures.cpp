#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "camera_figures.h"
#include "crafted_nal_units.h"

namespace camera_view {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// Frames of camera `camera` every `periodMs` from `startMs` (publish and monotonic time alike), each received
// `latencyMs` later, `bytes` each, a key frame every `gop`; `skip` says which to leave out.
void Feed(FigureBoard& sut, int camera, int count, std::int64_t startMs, std::int64_t periodMs,
          double latencyMs, std::size_t bytes, int gop, bool (*skip)(int) = nullptr) {
    for (int i = 0; i < count; ++i) {
        if (skip != nullptr && skip(i)) {
            continue;
        }
        const std::int64_t publish = (startMs + i * periodMs) * kMs;
        const auto receive = publish + static_cast<std::int64_t>(latencyMs * 1e6);
        sut.AddFrame(camera, receive, publish, receive, bytes, i % gop == 0);
    }
}

TEST(FigureBoardTest, AWindowGivesRateLatencyBitRateAndKeyInterval) {
    FigureBoard sut;
    sut.TakeWindow(0, 0, TransportView{});
    Feed(sut, 1, 30, 0, 33, 4.0, 10000, 10);
    const Figures figures = sut.TakeWindow(1000 * kMs, 1.0, TransportView{});

    const CameraWindow& cam = figures.cameras[1];
    EXPECT_EQ(cam.platformId, 9);
    EXPECT_EQ(cam.state, CameraState::kStreaming);
    EXPECT_DOUBLE_EQ(cam.fps, 30.0);
    EXPECT_DOUBLE_EQ(cam.bitRateKbps, 2400.0);
    EXPECT_NEAR(cam.latencyP50Ms, 4.0, 0.01);
    EXPECT_NEAR(cam.latencyP99Ms, 4.0, 0.01);
    EXPECT_EQ(cam.keyIntervalFrames, 10U);
    EXPECT_NEAR(cam.keyIntervalMs, 330.0, 0.1);
    EXPECT_EQ(cam.estimatedLost, 0U);
    EXPECT_EQ(figures.cameras[0].state, CameraState::kWaiting);
    EXPECT_EQ(figures.state, ApplicationState::kRunning);
}

TEST(FigureBoardTest, GapsInThePublishStampsCountAsLostFrames) {
    FigureBoard sut;
    sut.TakeWindow(0, 0, TransportView{});
    // Frames 10 and 20, 21, 22 never arrive.
    Feed(sut, 0, 30, 0, 33, 1.0, 1000, 30, [](int i) { return i == 10 || (i >= 20 && i <= 22); });
    const Figures figures = sut.TakeWindow(1000 * kMs, 1.0, TransportView{});
    EXPECT_EQ(figures.cameras[0].estimatedLost, 4U);
    EXPECT_EQ(figures.cameras[0].lostTotal, 4U);
    EXPECT_EQ(figures.cameras[0].frames, 26U);
}

// With the frames' bytes the board reads their slice headers, as the recorder does: frames lost by their
// numbers, and the frames predicted from a lost one until the next key frame.
TEST(FigureBoardTest, TheFramesOwnNumbersGiveTheFramesLostAndDamaged) {
    FigureBoard sut;
    // GOP of 8 at 30 fps; frames 3 and 4 never arrive: 2 lost, frames 5 to 7 damaged, 8 (IDR) whole again.
    for (int i = 0; i < 12; ++i) {
        if (i == 3 || i == 4) {
            continue;
        }
        const auto frame = camera_tools::test::H264Frame(i % 8 == 0, static_cast<std::uint32_t>(i % 8));
        const std::int64_t publish = i * 33 * kMs;
        sut.AddFrame(1, publish, publish, publish, frame.size(), i % 8 == 0, frame.data());
    }
    const Figures figures = sut.TakeWindow(400 * kMs, 1.0, TransportView{});
    EXPECT_EQ(figures.cameras[1].estimatedLost, 2U);
    EXPECT_EQ(figures.cameras[1].damaged, 3U);
    EXPECT_EQ(figures.cameras[1].damagedTotal, 3U);
    const nlohmann::json json = nlohmann::json::parse(FiguresJson(figures, ServerCounters{}));
    EXPECT_EQ(json["cameras"][1]["damaged"], 3);
    EXPECT_EQ(json["cameras"][1]["lost"], 2);
}

TEST(FigureBoardTest, LatencyPercentilesSeeTheSlowFrames) {
    FigureBoard sut;
    sut.TakeWindow(0, 0, TransportView{});
    for (int i = 0; i < 100; ++i) {
        const std::int64_t publish = i * 10 * kMs;
        const std::int64_t latency = (i == 50 ? 40 : 2) * kMs;
        sut.AddFrame(2, publish + latency, publish, publish + latency, 100, false);
    }
    const Figures figures = sut.TakeWindow(1000 * kMs, 1.0, TransportView{});
    EXPECT_NEAR(figures.cameras[2].latencyP50Ms, 2.0, 0.01);
    EXPECT_NEAR(figures.cameras[2].latencyP99Ms, 2.0, 0.01);
    std::vector<double> values(98, 1.0);
    values.push_back(7.0);
    values.push_back(9.0);
    EXPECT_DOUBLE_EQ(NearestRank(values, 99), 7.0);
    EXPECT_DOUBLE_EQ(NearestRank(values, 100), 9.0);
}

TEST(FigureBoardTest, ACameraWithoutFramesForASecondIsStoppedAndTheApplicationSilent) {
    FigureBoard sut;
    sut.TakeWindow(0, 0, TransportView{});
    Feed(sut, 0, 10, 0, 33, 1.0, 1000, 30);
    Feed(sut, 3, 60, 0, 33, 1.0, 1000, 30);
    Figures figures = sut.TakeWindow(2000 * kMs, 2.0, TransportView{});
    EXPECT_EQ(figures.cameras[0].state, CameraState::kStopped);
    EXPECT_EQ(figures.cameras[3].state, CameraState::kStreaming);
    EXPECT_EQ(figures.state, ApplicationState::kRunning);

    figures = sut.TakeWindow(4000 * kMs, 4.0, TransportView{});
    EXPECT_EQ(figures.state, ApplicationState::kSilent);
    EXPECT_DOUBLE_EQ(figures.cameras[3].fps, 0.0);
}

TEST(FigureBoardTest, TheTransportDecidesFirst) {
    FigureBoard sut;
    EXPECT_EQ(sut.TakeWindow(0, 0, TransportView{}).state, ApplicationState::kWaiting);
    Feed(sut, 0, 3, 0, 33, 1.0, 1000, 30);
    TransportView view;
    view.offered = false;
    EXPECT_EQ(sut.TakeWindow(100 * kMs, 0.1, view).state, ApplicationState::kNotOffered);
    view.rouDiRunning = false;
    EXPECT_EQ(sut.TakeWindow(200 * kMs, 0.2, view).state, ApplicationState::kRouDiLost);
}

TEST(FiguresJsonTest, CarriesEveryFigureThePageShows) {
    FigureBoard sut;
    sut.TakeWindow(0, 0, TransportView{});
    Feed(sut, 2, 30, 0, 33, 3.0, 5000, 15);
    TransportView transport;
    transport.missedSamples = 7;
    ServerCounters server;
    server.viewers = 2;
    server.refusedHosts = 3;
    server.refusedOrigins = 4;
    server.refusedViewers = 5;
    server.refusedConnections = 6;
    const auto json = nlohmann::json::parse(FiguresJson(sut.TakeWindow(1000 * kMs, 12.3, transport), server));
    EXPECT_EQ(json["type"], "figures");
    EXPECT_EQ(json["state"], "running");
    EXPECT_EQ(json["viewers"], 2);
    EXPECT_EQ(json["refused"],
              nlohmann::json({{"host", 3}, {"origin", 4}, {"viewers", 5}, {"connections", 6}}));
    EXPECT_EQ(json["missedSamples"], 7);
    ASSERT_EQ(json["cameras"].size(), 4U);
    const auto& cam = json["cameras"][2];
    EXPECT_EQ(cam["id"], 10);
    EXPECT_EQ(cam["state"], "streaming");
    EXPECT_DOUBLE_EQ(cam["fps"].get<double>(), 30.0);
    EXPECT_DOUBLE_EQ(cam["latencyP99Ms"].get<double>(), 3.0);
    EXPECT_DOUBLE_EQ(cam["bitRateKbps"].get<double>(), 1200.0);
    EXPECT_EQ(cam["keyIntervalFrames"], 15);
    EXPECT_EQ(cam["lost"], 0);
}

}  // namespace
}  // namespace camera_view
