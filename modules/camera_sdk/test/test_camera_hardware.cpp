#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ara/log/log_capture.h"
#include "camera_hardware.h"
#include "camera_test/eventually.h"
#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "camera_test/scoped_environment.h"
#include "vcu/camera/frame_code.h"

namespace {

using namespace std::chrono_literals;
using ara::log::LogLevel;
using camera_test::Eventually;
using camera_test::ScopedEnvironment;
using camera_test::TemporaryDirectory;
using vcu::camera::CameraAccessConfig;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr const char* kContext = "KRV_CAMERA";

CameraAccessConfig camera(std::int32_t id) {
    return CameraAccessConfig{"KRV_CAM_3MP_NV12", id, 200, 20, kWidth, kHeight, 5, 0, 0, "YUV420_NV12", 0};
}

std::size_t positionOf(const ara::log::LogCapture& capture, const std::string& fragment) {
    const auto messages = capture.Messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].contextId == kContext && messages[i].message.find(fragment) != std::string::npos) {
            return i;
        }
    }
    return messages.size();
}

// Every thread of this process but the caller is blocked (none is running or ready to run).
bool OtherThreadsBlocked() {
    const std::string self = std::to_string(::syscall(SYS_gettid));
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) {
            continue;
        }
        const std::string stat = camera_test::ReadText(task.path().string() + "/stat");
        const std::size_t end = stat.rfind(')');
        if (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'R') {
            return false;
        }
    }
    return true;
}

bool capturedAny(unsigned int id) {
    vcu::camera::CameraStats stats;
    return vcu::camera::CameraGetStats(id, stats) && stats.captured > 0;
}

class CameraHardwareTest : public ::testing::Test {
  protected:
    void TearDown() override {
        sut.stop();
        vcu::camera::CameraDeinit();  // for tests that start the service themselves
    }

    // What a camera worker does: wait for the flag, take the newest frame, clear the list.
    void expectWorkerReceivesFrame(std::size_t index) {
        std::unique_lock<std::mutex> lock(pool->mutexes[index]);
        ASSERT_TRUE(pool->conditions[index].wait_for(lock, 5s, [&] { return pool->imageReady[index]; }))
            << "index " << index;
        CameraImageResult& image = pool->images[index];
        EXPECT_EQ(image.cameraId, 8U + index);
        ASSERT_FALSE(image.cameraDataVector.empty());
        void* picture = nullptr;
        unsigned long size = 0;
        EXPECT_EQ(sut.getCameraYUVBuffer(&picture, size, image.cameraDataVector.back()), 0);
        ASSERT_NE(picture, nullptr);
        EXPECT_EQ(size, static_cast<unsigned long>(kWidth * kHeight * 3 / 2));
        const auto code = vcu::camera::readFrameCode(static_cast<const std::uint8_t*>(picture), kWidth,
                                                     kHeight, kWidth, 1.0);
        EXPECT_EQ(code, image.cameraDataVector.back().auxiliaryInfo.frameSequence & 0xFFFFU);
        image.cameraDataVector.clear();
        pool->imageReady[index] = false;
    }

    TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_camera_test_");
    ScopedEnvironment configDirectory{"CM_CONFIG_FILE_PATH", directory.Path()};
    ScopedEnvironment configFile{"VCU_CAMERA_CONFIG", std::nullopt};
    ScopedEnvironment fps{"VCU_CAMERA_FPS", "100"};
    std::shared_ptr<CameraPool> pool = std::make_shared<CameraPool>();
    CameraHardware sut{pool, 8};
};

TEST_F(CameraHardwareTest, DeliversEachCamerasFramesToItsWorker) {
    std::vector<CameraAccessConfig> table{camera(8), camera(9), camera(10), camera(11)};
    ara::log::LogCapture capture;
    sut.init(table);
    ASSERT_TRUE(sut.isStarted());
    for (std::size_t index = 0; index < CameraPool::kCameraCount; ++index) {
        expectWorkerReceivesFrame(index);
    }
    sut.stop();
    EXPECT_FALSE(sut.isStarted());

    EXPECT_EQ(capture.Count(kContext, LogLevel::kDebug, "Camera init completed"), 1U);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kDebug, "Camera read data thread created"), 1U);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kDebug, "Thread start running"), 1U);
    EXPECT_GE(capture.Count(kContext, LogLevel::kDebug,
                            "Attempt to getting camera IDs via CameraWaitEvents method. camStartId: 8"),
              1U);
    EXPECT_GE(capture.Count(kContext, LogLevel::kDebug, "Camera 11 Image successfully pushed to the vector"),
              1U);
    EXPECT_GE(capture.Count(kContext, LogLevel::kDebug, "number of ready camera: "), 1U);
    EXPECT_EQ(capture.Count(kContext, "No Camera Ready"), 0U);  // the stop's empty wake-up is not an error
}

TEST_F(CameraHardwareTest, OnePassStoresAndWakesIndex2BeforeIndex0) {
    // Camera 10 is ready long before camera 8, so the service lists 10 first.
    camera_test::WriteTestFile(directory, "vcu_camera.ini", "[camera_8]\nfps = 3\n[camera_10]\nfps = 100\n");
    const ScopedEnvironment perCamera("VCU_CAMERA_FPS", std::nullopt);
    ASSERT_EQ(vcu::camera::CameraInit({camera(8), camera(10)}), 0);
    ASSERT_TRUE(Eventually([] { return capturedAny(8); }));

    auto worker0 = std::async(std::launch::async, [this] { expectWorkerReceivesFrame(0); });
    auto worker2 = std::async(std::launch::async, [this] { expectWorkerReceivesFrame(2); });
    ara::log::LogCapture capture;
    EXPECT_EQ(sut.getCameraImagesArrayVector(pool->images), 2U);

    EXPECT_LT(positionOf(capture, "Camera 10 Image successfully pushed"),
              positionOf(capture, "Camera 8 Image successfully pushed"));
    ASSERT_EQ(worker2.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(worker0.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(pool->imageReady[1]);
    EXPECT_FALSE(pool->imageReady[3]);
    EXPECT_TRUE(pool->images[1].cameraDataVector.empty());
}

TEST_F(CameraHardwareTest, SkipsIdsWhoseIndexIsOutsideThePool) {
    ASSERT_EQ(vcu::camera::CameraInit({camera(8), camera(12)}), 0);
    ASSERT_TRUE(Eventually([] { return capturedAny(8) && capturedAny(12); }));

    ara::log::LogCapture capture;
    EXPECT_EQ(sut.getCameraImagesArrayVector(pool->images), 2U);
    EXPECT_EQ(
        capture.Count(kContext, LogLevel::kError, "Camera 12 skipped: its index 4 is outside the frame pool"),
        1U);
    EXPECT_TRUE(pool->imageReady[0]);
    EXPECT_EQ(CameraHardware(pool, 0).getRawId(3), 3);  // no division by a first id of 0
    for (std::size_t index = 1; index < CameraPool::kCameraCount; ++index) {
        EXPECT_FALSE(pool->imageReady[index]);
        EXPECT_TRUE(pool->images[index].cameraDataVector.empty());
    }
}

TEST_F(CameraHardwareTest, FailedStartUpIsLoggedAndStartsNoThread) {
    CameraAccessConfig rgb = camera(8);
    rgb.imageFormat = "RGB888";
    std::vector<CameraAccessConfig> table{rgb};
    ara::log::LogCapture capture;
    sut.init(table);
    EXPECT_FALSE(sut.isStarted());
    EXPECT_EQ(capture.Count(kContext, LogLevel::kFatal, "Camera init failed"), 1U);
    EXPECT_EQ(capture.Count(kContext, "Camera read data thread created"), 0U);
}

TEST_F(CameraHardwareTest, StopJoinsPromptlyWhileTheThreadWaitsForFrames) {
    const ScopedEnvironment slow("VCU_CAMERA_FPS", "1");
    std::vector<CameraAccessConfig> table{camera(8)};
    ara::log::LogCapture capture;
    sut.init(table);
    ASSERT_TRUE(sut.isStarted());
    ASSERT_TRUE(Eventually([&] { return capture.Count(kContext, "Attempt to getting camera IDs") > 0; }));
    ASSERT_TRUE(Eventually(OtherThreadsBlocked));  // the camera thread in its wait for frames

    const auto start = std::chrono::steady_clock::now();
    sut.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);  // well before the first frame is due
    EXPECT_EQ(capture.Count(kContext, "No Camera Ready"), 0U);
}

}  // namespace
