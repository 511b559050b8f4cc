#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ara/log/log_capture.h"
#include "camera_test/eventually.h"
#include "camera_test/gtest_support.h"
#include "camera_test/scoped_environment.h"
#include "damaged_video.h"
#include "ffmpeg/log_route.h"
#include "vcu/camera/camera.h"
#include "vcu/camera/frame_code.h"
#include "vcu/os/unique_fd.h"

namespace {

using namespace std::chrono_literals;
using namespace vcu::camera;
using ara::log::LogLevel;
using camera_test::ScopedEnvironment;
using camera_test::TemporaryDirectory;

constexpr int kWidth = 640;  // large enough for the frame code, small enough to be cheap
constexpr int kHeight = 480;

CameraAccessConfig camera(std::int32_t id, std::int32_t width = kWidth, std::int32_t height = kHeight) {
    return CameraAccessConfig{"KRV_CAM_3MP_NV12", id, 200, 20, width, height, 5, 0, 0, kImageFormatNv12, 0};
}

std::uint64_t sequenceOf(const CameraData& frame) {
    return frame.auxiliaryInfo.frameSequence;
}

const std::uint8_t* pictureOf(const CameraData& frame) {
    void* data = nullptr;
    unsigned long size = 0;
    EXPECT_TRUE(frame.buffers[CameraData::kPictureBuffer].GetBuffData(data, size));
    EXPECT_EQ(size, static_cast<unsigned long>(kWidth * kHeight * 3 / 2));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 64, 0U);
    return static_cast<const std::uint8_t*>(data);
}

std::optional<std::uint32_t> codeOf(const CameraData& frame) {
    return readFrameCode(pictureOf(frame), kWidth, kHeight, kWidth, 1.0);
}

double secondsOf(const CameraTimestamp& stamp) {
    return static_cast<double>(stamp.sec) + static_cast<double>(stamp.nsec) * 1e-9;
}

CameraStats statsOf(unsigned int id) {
    CameraStats stats;
    EXPECT_TRUE(CameraGetStats(id, stats));
    return stats;
}

// Polls until `done(stats of camera id)` holds, or a generous deadline passes; whether it held.
template <typename Done>
bool EventuallyStats(unsigned int id, Done done) {
    return camera_test::Eventually([&] { return done(statsOf(id)); });
}

// Runs every test on the built-in defaults, whatever the machine's configuration, at 100 frames per second.
class CameraServiceTest : public ::testing::Test {
  protected:
    void TearDown() override { CameraDeinit(); }

    void useConfigFile(const std::string& content) {
        camera_test::WriteTestFile(directory, "vcu_camera.ini", content);
    }

    // Fetches until `count` frames are held or a generous deadline passes.
    std::vector<CameraData> holdFrames(unsigned int id, std::size_t count) {
        std::vector<CameraData> frames;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
            CameraGetData(id, frames, 100);
        }
        return frames;
    }

    TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_camera_test_");
    ScopedEnvironment configDirectory{"CM_CONFIG_FILE_PATH", directory.Path()};
    ScopedEnvironment configFile{"VCU_CAMERA_CONFIG", std::nullopt};
    ScopedEnvironment fps{"VCU_CAMERA_FPS", "100"};
};

TEST_F(CameraServiceTest, DeliversNumberedTimeStampedFramesAtTheConfiguredRate) {
    ASSERT_EQ(CameraInit({camera(8)}), kCameraOk);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);

    std::vector<CameraAuxiliaryInfo> seen;
    const auto end = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < end) {
        std::vector<CameraData> frames;
        ASSERT_EQ(CameraGetData(8, frames, 1000), kCameraOk);
        for (const CameraData& frame : frames) {
            EXPECT_EQ(codeOf(frame), sequenceOf(frame) & 0xFFFFU);  // the picture belongs to the record
            seen.push_back(frame.auxiliaryInfo);
        }
    }

    EXPECT_GE(seen.size(), 30U);
    EXPECT_LE(seen.size(), 70U);
    ASSERT_FALSE(seen.empty());
    EXPECT_NEAR(secondsOf(seen.front().captureTime()), static_cast<double>(now.tv_sec), 5.0);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].cameraId, 8U);
        EXPECT_LE(secondsOf(seen[i].timestamps[0]), secondsOf(seen[i].timestamps[1]));
        if (i > 0) {
            EXPECT_GT(seen[i].frameSequence, seen[i - 1].frameSequence);
            EXPECT_GT(secondsOf(seen[i].captureTime()), secondsOf(seen[i - 1].captureTime()));
        }
    }
}

TEST_F(CameraServiceTest, KeepsTheNewestFramesLastWhenNobodyFetches) {
    ASSERT_EQ(CameraInit({camera(8)}), kCameraOk);
    // Nobody fetches: with 4 buffers, newer frames replace the queued ones.
    ASSERT_TRUE(EventuallyStats(8, [](const CameraStats& stats) { return stats.droppedOverrun >= 8; }));

    std::vector<CameraData> frames;
    EXPECT_EQ(CameraGetData(9, frames, 0), kCameraUnknownId);
    ASSERT_EQ(CameraGetData(8, frames, 1000), kCameraOk);
    ASSERT_FALSE(frames.empty());
    EXPECT_LE(frames.size(), 4U);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GT(sequenceOf(frames[i]), sequenceOf(frames[i - 1]));
    }
    EXPECT_GT(sequenceOf(frames.front()), 4U);  // the first frames were replaced by newer ones
    EXPECT_GT(statsOf(8).droppedOverrun, 0U);
}

TEST_F(CameraServiceTest, NeverOverwritesHeldFramesAndReusesTheirBuffersOnceReleased) {
    ASSERT_EQ(CameraInit({camera(8)}), kCameraOk);
    std::vector<CameraData> held = holdFrames(8, 4);
    ASSERT_EQ(held.size(), 4U);
    std::vector<std::vector<std::uint8_t>> copies;
    for (const CameraData& frame : held) {
        copies.emplace_back(pictureOf(frame), pictureOf(frame) + kWidth * kHeight * 3 / 2);
    }

    // Every buffer is held: the frames that come are dropped, none overwrites a held one.
    ASSERT_TRUE(EventuallyStats(8, [](const CameraStats& stats) { return stats.droppedNoBuffer >= 3; }));
    std::vector<CameraData> more;
    EXPECT_EQ(CameraGetData(8, more, 50), kCameraTimeout);
    for (std::size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(std::memcmp(pictureOf(held[i]), copies[i].data(), copies[i].size()), 0) << "frame " << i;
        EXPECT_EQ(codeOf(held[i]), sequenceOf(held[i]) & 0xFFFFU);
    }

    const std::uint64_t lastHeld = sequenceOf(held.back());
    held.clear();
    ASSERT_EQ(CameraGetData(8, more, 1000), kCameraOk);
    EXPECT_GT(sequenceOf(more.front()), lastHeld + 1);  // the dropped frames left a gap
}

TEST_F(CameraServiceTest, RefusesBadAccessTablesNamingTheField) {
    CameraAccessConfig rgb = camera(8);
    rgb.imageFormat = "RGB888";
    struct Case {
        std::vector<CameraAccessConfig> table;
        const char* fragment;
    };
    const std::vector<Case> cases{
        {{}, "table is empty"},
        {{rgb}, "imageFormat \"RGB888\" is not supported"},
        {{camera(8, 0, kHeight)}, "width 0"},
        {{camera(8, kWidth, 481)}, "height 481"},
        {{camera(8), camera(9), camera(8)}, "entry 2 (camera 8): cameraId 8 appears more than once"},
    };
    for (const Case& item : cases) {
        ara::log::LogCapture capture;
        EXPECT_NE(CameraInit(item.table), kCameraOk) << item.fragment;
        EXPECT_EQ(capture.Count("VCAM", ara::log::LogLevel::kError, item.fragment), 1U) << item.fragment;
        std::vector<CameraData> frames;
        EXPECT_EQ(CameraGetData(8, frames, 0), kCameraNotStarted);
    }
}

TEST_F(CameraServiceTest, RefusesBadSourceConfigurationWithAClearMessage) {
    useConfigFile("[camera_8]\nfps = 500\n");
    ara::log::LogCapture capture;
    EXPECT_EQ(CameraInit({camera(8)}), kCameraInvalidConfig);
    EXPECT_EQ(capture.Count("VCAM", ara::log::LogLevel::kError, "vcu_camera.ini: [camera_8] fps = '500'"),
              1U);
}

TEST_F(CameraServiceTest, DeinitWakesEveryWaiterAndHeldFramesStayValid) {
    ASSERT_EQ(CameraInit({camera(8)}), kCameraOk);
    EXPECT_EQ(CameraInit({camera(9)}), kCameraAlreadyStarted);
    std::vector<CameraData> held = holdFrames(8, 1);
    ASSERT_FALSE(held.empty());
    CameraDeinit();
    EXPECT_EQ(codeOf(held.back()), sequenceOf(held.back()) & 0xFFFFU);  // the pool outlives the service
    held.clear();

    const ScopedEnvironment slow("VCU_CAMERA_FPS", "1");  // the first frame comes after a second
    // The waiters must be waiting when the service stops. Nothing shows that they are, so a waiter that
    // came too late (it is told the service is not started) makes the round count for nothing and the next
    // round gives it more time.
    int stopped = kCameraNotStarted;
    for (int round = 1; round <= 5 && stopped == kCameraNotStarted; ++round) {
        ASSERT_EQ(CameraInit({camera(8)}), kCameraOk);
        auto events = std::async(std::launch::async, [] { return CameraWaitEvents(-1); });
        auto data = std::async(std::launch::async, [] {
            std::vector<CameraData> frames;
            return CameraGetData(8, frames, -1);
        });
        std::this_thread::sleep_for(100ms * round);
        CameraDeinit();
        ASSERT_EQ(events.wait_for(2s), std::future_status::ready);
        ASSERT_EQ(data.wait_for(2s), std::future_status::ready);
        EXPECT_TRUE(events.get().empty());
        stopped = data.get();
    }
    EXPECT_EQ(stopped, kCameraStopped);
    EXPECT_TRUE(CameraWaitEvents(-1).empty());  // at once while nothing runs
    EXPECT_EQ(CameraGetData(8, held, 0), kCameraNotStarted);
}

// Sends this process's standard error (descriptor 2) to a file while it exists.
class StandardErrorToFile {
  public:
    explicit StandardErrorToFile(const std::string& path)
        : saved_(::dup(STDERR_FILENO)),
          file_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
        EXPECT_TRUE(saved_.valid() && file_.valid()) << "standard error cannot be sent to " << path;
        redirected_ = saved_.valid() && file_.valid() && ::dup2(file_.get(), STDERR_FILENO) >= 0;
    }
    ~StandardErrorToFile() {
        if (redirected_) {
            ::dup2(saved_.get(), STDERR_FILENO);
        }
    }
    StandardErrorToFile(const StandardErrorToFile&) = delete;
    StandardErrorToFile& operator=(const StandardErrorToFile&) = delete;

  private:
    vcu::os::UniqueFd saved_;
    vcu::os::UniqueFd file_;
    bool redirected_{false};
};

TEST_F(CameraServiceTest, CountsWhatTheDecoderConcealsInADamagedVideoAndLogsItThroughTheLogger) {
    constexpr int kVideoWidth = 320;
    constexpr int kVideoHeight = 240;
    constexpr int kVideoFrames = 24;
    const std::string video = directory.File("damaged.mkv");
    ASSERT_NO_FATAL_FAILURE(camera_test::WriteDamagedH264(video, kVideoWidth, kVideoHeight, kVideoFrames));
    const ScopedEnvironment source("VCU_CAMERA_SOURCE_9", "video:" + video);
    const std::string errorOutput = directory.File("stderr.txt");

    ara::log::LogCapture capture;
    CameraStats stats;
    {
        const StandardErrorToFile redirect(errorOutput);
        ASSERT_EQ(CameraInit({camera(9, kVideoWidth, kVideoHeight)}), kCameraOk);
        // Twice through the file, so that every damaged picture was decoded.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        do {
            std::vector<CameraData> frames;
            CameraGetData(9, frames, 100);
            stats = statsOf(9);
        } while (stats.captured < 2 * kVideoFrames && std::chrono::steady_clock::now() < deadline);
        CameraDeinit();
    }

    EXPECT_GE(stats.captured, 2U * kVideoFrames);
    EXPECT_EQ(stats.sourceErrors, 0U);
    EXPECT_GT(stats.concealedPictures, 0U);
    EXPECT_GE(stats.concealedErrors, stats.concealedPictures);
    // The decoder's complaints arrive in FFmpeg's context, with its prefix.
    EXPECT_GT(capture.Count(ffmpeg::kLogContextId, LogLevel::kError, "[h264 @ 0x"), 0U);

    // Nothing raw reached standard error: every line there is one of the logger's.
    std::ifstream written(errorOutput);
    ASSERT_TRUE(written) << errorOutput;
    const std::regex loggerLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} \S+ \S+ \[[a-z]+\] .*)");
    std::string line;
    std::size_t lines = 0;
    while (std::getline(written, line)) {
        ++lines;
        EXPECT_TRUE(std::regex_match(line, loggerLine)) << line;
    }
    EXPECT_GT(lines, 0U);
}

}  // namespace
