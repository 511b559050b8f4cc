#pragma once

#include <array>
#include <atomic>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CameraDriving_GeneralWrapper.h"
#include "MbufModule.h"
#include "ara/log/logger.h"
#include "cam_preprocess.h"
#include "camera_hardware.h"

// Scoped stopwatch: on destruction stores the milliseconds since construction (steady clock) through
// `result`, when it is not null.
class Timer {
  public:
    Timer(const std::string& name, float* result);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

  private:
    std::string name;
    std::int64_t startUs;
    std::int64_t endUs;
    float* result;
};

// The cameras could not be started; the process cannot do its work.
class CameraStartError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Sees every frame the orchestrator publishes, for measurements (the benchmark): the camera frame's record,
// the platform-clock time of the publish, the key-frame flag and the encoded size. Called on the camera's
// worker thread with the publish lock held, so it must be quick.
class FrameObserver {
  public:
    virtual ~FrameObserver() = default;
    virtual void onFramePublished(unsigned char index, const vcu::camera::CameraAuxiliaryInfo& frame,
                                  const timespec& published, bool isKeyFrame, std::size_t bytes) = 0;
};

// Owns every part of the running system: the publisher ports, one shared-buffer pool per camera, the frame
// pool, the camera access and one worker thread per camera, which preprocesses, encodes and publishes the
// newest frame of its camera.
//
// init runs on the main thread and returns when the workers have ended, which they do only after
// requestStop. requestStop may be called from any thread (the signal handling thread), at any time.
class CameraDriving {
  public:
    static constexpr unsigned char kCameraCount = 4;
    static constexpr unsigned char kFirstCameraId = 8;

    CameraDriving();
    ~CameraDriving();
    CameraDriving(const CameraDriving&) = delete;
    CameraDriving& operator=(const CameraDriving&) = delete;

    // What one camera's worker has done with the frames it was woken for.
    struct FrameCounts {
        std::uint64_t published{0};
        std::uint64_t dropped{0};  // a failed stage, an unusable frame or a failed publish
    };

    // Sets the system up and runs it until the workers end. Throws the middleware's exceptions and
    // CameraStartError when a camera's configured input size differs from its frames, when the cameras
    // cannot be started, or when a camera's preprocessor cannot be set up; the configuration must have been
    // checked.
    void init(boost::property_tree::ptree& config);
    void threadsFunction(unsigned char index);
    void runPipelines(CamPreprocess& preprocess, unsigned char index);

    // The first part of init: the configuration copy, the ports, the shared-buffer pools, the frame pool
    // (`pool`) and the camera access, which is not started. Throws CameraStartError when a camera's input
    // size differs from the size of its frames in `cameras`. init goes on to start the cameras and workers;
    // a test drives runPipelines itself with frames it puts into `pool`.
    void prepare(boost::property_tree::ptree& config, std::shared_ptr<CameraPool> pool,
                 const std::vector<vcu::camera::CameraAccessConfig>& cameras);
    // A worker's set-up of its camera's preprocessor (after prepare); false, logged, when the camera cannot
    // work.
    bool setUpCamera(CamPreprocess& preprocess, unsigned char index);

    // Read by the camera's worker thread only while the workers run.
    FrameCounts frameCounts(unsigned char index) const { return counts[index]; }

    // Ends the workers (waking those that wait for a frame) and stops the camera acquisition; init then
    // returns. Nothing of the per-frame path changes for it: a worker finishes its frame first.
    void requestStop();

    // Installs an observer of published frames (not owned); call before init.
    void setFrameObserver(FrameObserver* observer) { frameObserver = observer; }

  private:
    bool stopping() const { return stopRequested.load(std::memory_order_acquire); }
    // Reads the platform clock and the newest encoded frame into an image and publishes it; false (logged)
    // when nothing was published.
    bool publishFrame(const mpu_venc_stream& stream, unsigned char index,
                      const vcu::camera::CameraAuxiliaryInfo& frame);
    // Counts a dropped frame and logs the drop, at most once a second per camera.
    void dropFrame(unsigned char index, const char* reason);

    ara::log::Logger& logger;
    boost::property_tree::ptree config;
    std::unique_ptr<GeneralWrapper> generalWrapper;
    std::array<mbuf::MbufModule, kCameraCount> mbufModules;
    std::unique_ptr<CameraHardware> cameraHardware;
    std::shared_ptr<CameraPool> cameraPool;
    std::array<std::thread, kCameraCount> threads;
    std::array<FrameCounts, kCameraCount> counts{};
    std::array<std::chrono::steady_clock::time_point, kCameraCount> lastDropLog{};  // epoch: none yet
    std::array<std::uint64_t, kCameraCount> droppedSinceLog{};
    std::mutex publishMutex;

    // Shutdown: the flag, and a lock that keeps requestStop from racing init's creation of the pool and
    // the camera access.
    std::atomic<bool> stopRequested{false};
    std::mutex lifecycleMutex;
    FrameObserver* frameObserver{nullptr};
    // A worker whose camera could not be set up; init reports it once the workers have ended.
    std::atomic<int> failedCamera{-1};
};
