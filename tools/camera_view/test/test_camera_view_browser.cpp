// The whole way to a real browser: RouDi, the application with four cameras, camera_view, and Debian's
// Chromium headless on the page, in a window of a common laptop's size. Reads back from the page what each
// tile decoded and showed, how late it showed it, and that every figure fits the window; leaves a screenshot
// in out/camera_view/.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "camera_test/roudi_process.h"
#include "headless_browser.h"
#include "view_process.h"

namespace {

using namespace std::chrono_literals;
using camera_test::ReadText;
using camera_view::harness::HeadlessBrowser;

class BrowserViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(camera_test::RouDiIsRunning())
            << "another RouDi runs on this machine, and this test needs its own: stop it (make run, the "
               "demo) "
               "or run the test with a private /tmp and /dev/shm (unshare -m)";
        ASSERT_EQ(::access(HeadlessBrowser::kDefaultBinary, X_OK), 0)
            << HeadlessBrowser::kDefaultBinary << " is missing: scripts/install-deps.sh installs chromium";
        // The demo's system: config/ as it is, run from a directory that holds the maps it names.
        ASSERT_TRUE(scratch_.Valid());
        const auto entered =
            camera_view::harness::EnterDemoDirectory(scratch_.Path(), PROJECT_SOURCE_DIR, REMAP_MAPS_BINARY);
        ASSERT_TRUE(entered) << entered.Error().message;
        auto roudi = camera_test::RouDiProcess::Start(IOX_ROUDI, PROJECT_CONFIG_DIR "/roudi.toml",
                                                      scratch_.File("roudi.log"));
        ASSERT_TRUE(roudi) << roudi.Error().message;
        roudi_ = std::move(roudi).Value();
        ::setenv("CM_CONFIG_FILE_PATH", PROJECT_CONFIG_DIR, 1);
        ::setenv("ARA_LOG_LEVEL", "warn", 1);
    }

    void TearDown() override {
        // RouDi goes last: it ends the processes still registered with it.
        view_.Stop();
        application_.Stop();
        roudi_.Stop();
    }

    camera_test::TemporaryDirectory scratch_ = camera_test::NewTestDirectory("camera_view_test_");
    camera_test::RouDiProcess roudi_;
    camera_test::ChildProcess application_;
    camera_test::ChildProcess view_;
};

TEST_F(BrowserViewTest, EachTileDecodesSixtyFramesInFiveSecondsAndShowsFigures) {
    const std::string viewOutput = scratch_.File("camera_view.out");
    view_ = camera_test::StartChild({CAMERA_VIEW_BINARY, "--port", "0"}, viewOutput);
    ASSERT_TRUE(view_.Started());
    application_ = camera_test::StartChild({CAMERA_DRIVING_BINARY}, scratch_.File("app.log"));
    ASSERT_TRUE(application_.Started());

    const int port = camera_view::harness::WaitForPort(viewOutput, 5s);
    ASSERT_NE(port, 0) << "camera_view printed no address:\n" << ReadText(viewOutput);

    const auto profile = scratch_.Subdirectory("chromium");
    ASSERT_TRUE(profile) << profile.Error().message;
    HeadlessBrowser browser(profile.Value(), scratch_.File("chromium.log"));
    ASSERT_EQ(browser.Error(), "");
    ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(port) + "/", 1280, 800)) << browser.Error();

    const std::string decoded = "cameraView.tiles.map(t => t.decoded)";
    const std::string counts =
        "JSON.stringify(cameraView.tiles.map(t => ({decoded: t.decoded, received: t.received, "
        "skipped: t.skipped, errors: t.errors, fps: t.figures && t.figures.fps})))";
    // Start counting once every tile shows pictures: the system needs a moment to start its cameras.
    nlohmann::json before;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        before = browser.Evaluate(decoded);
        if (before.is_array() && before.size() == 4 &&
            std::all_of(before.begin(), before.end(),
                        [](const auto& n) { return n.template get<int>() > 0; })) {
            break;
        }
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(before.is_array() && before.size() == 4) << browser.Error();
    // Then every tile goes on decoding: 60 more pictures each (two seconds at 30 fps; longer on a loaded
    // machine, which slows the test, not the verdict).
    const auto decodedMore = [&before](const nlohmann::json& now) {
        if (!now.is_array() || now.size() != 4) {
            return false;
        }
        for (std::size_t tile = 0; tile < 4; ++tile) {
            if (now[tile].get<int>() - before[tile].get<int>() < 60) {
                return false;
            }
        }
        return true;
    };
    nlohmann::json after;
    const auto streamingDeadline = std::chrono::steady_clock::now() + 60s;
    while (!decodedMore(after = browser.Evaluate(decoded)) &&
           std::chrono::steady_clock::now() < streamingDeadline) {
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(after.is_array() && after.size() == 4) << browser.Error();
    const nlohmann::json tiles = browser.Evaluate(counts);
    for (std::size_t tile = 0; tile < 4; ++tile) {
        EXPECT_GE(after[tile].get<int>() - before[tile].get<int>(), 60)
            << "tile " << tile << " (cam_" << 8 + tile << ") decoded " << before[tile] << " then "
            << after[tile] << "; page counts " << tiles;
    }

    // The figures of each camera as the page shows them.
    const nlohmann::json shown = browser.Evaluate(
        "JSON.stringify({state: cameraView.state, tiles: cameraView.tiles.map(t => ({shown: t.figuresShown, "
        "fps: t.ui.cells.fps.textContent, latency: t.ui.cells.latency.textContent, "
        "bitrate: t.ui.cells.bitrate.textContent, key: t.ui.cells.key.textContent, "
        "state: t.ui.badge.textContent}))})");
    ASSERT_TRUE(shown.is_string()) << browser.Error();
    const nlohmann::json figures = nlohmann::json::parse(shown.get<std::string>());
    EXPECT_EQ(figures["state"], "running");
    for (const auto& tile : figures["tiles"]) {
        EXPECT_GE(tile["shown"].get<int>(), 3) << tile.dump();
        EXPECT_EQ(tile["state"], "streaming") << tile.dump();
        EXPECT_GT(std::stod(tile["fps"].get<std::string>()), 1.0) << tile.dump();  // 30 on a quiet machine
        EXPECT_NE(tile["latency"].get<std::string>().find(" ms"), std::string::npos) << tile.dump();
        EXPECT_NE(tile["bitrate"].get<std::string>().find("Mbit/s"), std::string::npos) << tile.dump();
        EXPECT_NE(tile["key"].get<std::string>().find("30 frames"), std::string::npos) << tile.dump();
    }

    // Publish-to-display latency of the pictures drawn: the publish stamp against the browser's clock, which
    // on this machine is the same real-time clock. A wrong unit or clock would put it far below 0 or beyond
    // a minute.
    const nlohmann::json display = browser.Evaluate(
        "JSON.stringify(cameraView.tiles.map(t => ({p50: t.displayP50Ms, max: t.displayMaxMs, "
        "text: t.ui.cells.display.textContent, behind: t.behindMs})))");
    ASSERT_TRUE(display.is_string()) << browser.Error();
    for (const auto& tile : nlohmann::json::parse(display.get<std::string>())) {
        ASSERT_TRUE(tile["p50"].is_number()) << tile.dump();
        EXPECT_GE(tile["p50"].get<double>(), 0.0) << tile.dump();
        EXPECT_LE(tile["max"].get<double>(), 60000.0) << tile.dump();
        EXPECT_NE(tile["text"].get<std::string>().find(" / "), std::string::npos) << tile.dump();
    }

    // Every tile and its figures inside the window, nothing to scroll to.
    const nlohmann::json layout = browser.Evaluate(
        "JSON.stringify({height: innerHeight, scroll: document.documentElement.scrollHeight, "
        "bottoms: [...document.querySelectorAll('.figures')].map(f => f.getBoundingClientRect().bottom)})");
    ASSERT_TRUE(layout.is_string()) << browser.Error();
    const nlohmann::json fit = nlohmann::json::parse(layout.get<std::string>());
    EXPECT_EQ(fit["height"], 800) << fit.dump();
    EXPECT_LE(fit["scroll"].get<double>(), fit["height"].get<double>()) << fit.dump();
    ASSERT_EQ(fit["bottoms"].size(), 4U) << fit.dump();
    for (const auto& bottom : fit["bottoms"]) {
        EXPECT_LE(bottom.get<double>(), fit["height"].get<double>()) << fit.dump();
    }

    ::mkdir(PROJECT_SOURCE_DIR "/out", 0755);
    ::mkdir(PROJECT_SOURCE_DIR "/out/camera_view", 0755);
    EXPECT_TRUE(browser.Screenshot(PROJECT_SOURCE_DIR "/out/camera_view/screenshot.png")) << browser.Error();

    // A tile whose picture is two seconds old while frames keep coming says so; in one evaluation, before the
    // next draw replaces the picture.
    const nlohmann::json lag = browser.Evaluate(
        "(() => { const t = cameraView.tiles[2]; t.lastArrivalMs = Date.now(); "
        "t.shownPublishMs = Date.now() - 2000; updateBehind(); "
        "return JSON.stringify({hidden: t.ui.behind.hidden, text: t.ui.behind.textContent}); })()");
    ASSERT_TRUE(lag.is_string()) << browser.Error();
    const nlohmann::json badge = nlohmann::json::parse(lag.get<std::string>());
    EXPECT_FALSE(badge["hidden"].get<bool>()) << badge.dump();
    EXPECT_EQ(badge["text"], "behind by 2.0 s") << badge.dump();
}

}  // namespace
