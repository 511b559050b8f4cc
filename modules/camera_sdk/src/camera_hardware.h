#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ara/log/logger.h"
#include "vcu/camera/camera.h"
#include "vcu/vcu_mbuf.h"

// The frames of one camera that the acquisition thread read and its worker has not processed yet.
struct CameraImageResult {
    bool isValid{false};
    std::uint32_t cameraId{0};  // platform id of the last successful read; meaningless before it
    vcu::camera::CameraData cameraData{""};
    std::vector<vcu::camera::CameraData> cameraDataVector;  // newest last; the worker clears it
};

// Hand-over of frames from the acquisition thread to the four camera workers, by camera index. A camera's
// mutex guards its entry of imageReady and images; its condition variable wakes its worker.
struct CameraPool {
    static constexpr std::size_t kCameraCount = 4;

    std::array<std::mutex, kCameraCount> mutexes;
    std::array<std::condition_variable, kCameraCount> conditions;
    std::array<bool, kCameraCount> imageReady{};
    std::array<CameraImageResult, kCameraCount> images;
};

// Starts the cameras through the platform camera service and runs the acquisition thread, which reads every
// camera's new frames into its entry of the shared CameraPool and wakes its worker.
//
// init, stop and the destructor belong to the owning thread; getCameraYUVBuffer may be called from any
// thread.
class CameraHardware {
  public:
    CameraHardware(std::shared_ptr<CameraPool> pool, unsigned char firstCameraId);
    ~CameraHardware();
    CameraHardware(const CameraHardware&) = delete;
    CameraHardware& operator=(const CameraHardware&) = delete;

    void init(std::vector<vcu::camera::CameraAccessConfig>& configs);
    // Ends the acquisition thread: clears running, stops the camera service (which ends its wait) and joins.
    void stop();
    // True once init has started the cameras, until stop.
    bool isStarted() const { return started.load(); }

    void runCameras();
    unsigned char getRawId(unsigned char id);
    size_t getCameraImagesArrayVector(std::array<CameraImageResult, 4>& images);
    unsigned char getCameraYUVBuffer(void** slot, unsigned long& size, vcu::camera::CameraData& frame);

  private:
    ara::log::Logger& logger;
    std::atomic<bool> running;
    std::int32_t getDataTimeout;
    std::uint8_t camStartId;
    std::shared_ptr<CameraPool> cameraPool;
    std::thread readDataThread;
    std::atomic<bool> started{false};
};
