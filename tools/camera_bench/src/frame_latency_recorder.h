#pragma once

// Records every frame the orchestrator publishes: camera, sequence, capture and publish time, size.
//
// The storage is reserved up front, `capacityPerCamera` frames per camera, because the orchestrator calls the
// observer on the camera's worker with the publish lock held: recording is two stores and a release of the
// camera's count, with no allocation and no lock. Each camera's frames come from that camera's worker alone,
// so every camera has a single writer. Frames beyond the capacity are only counted. Read the samples after
// the workers have ended (CameraDriving::init returned), or read count() first (acquire) and then only the
// samples below it.

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "camera_driving.h"

namespace camera_bench {

class FrameLatencyRecorder final : public FrameObserver {
  public:
    struct Sample {
        std::int64_t captureNs{0};  // CLOCK_REALTIME, the frame's capture time
        std::int64_t publishNs{0};  // CLOCK_REALTIME, the orchestrator's publish time
        std::uint64_t sequence{0};
        std::uint32_t bytes{0};
        bool keyFrame{false};
    };
    static constexpr std::size_t kCameraCount = CameraDriving::kCameraCount;

    explicit FrameLatencyRecorder(std::size_t capacityPerCamera);

    void onFramePublished(unsigned char index, const vcu::camera::CameraAuxiliaryInfo& frame,
                          const timespec& published, bool isKeyFrame, std::size_t bytes) override;

    std::size_t count(std::size_t camera) const {
        return cameras_[camera].count.load(std::memory_order_acquire);
    }
    const Sample& sample(std::size_t camera, std::size_t i) const { return cameras_[camera].samples[i]; }
    // Frames not recorded: storage full, or a camera index out of range.
    std::uint64_t lost() const { return lost_.load(std::memory_order_relaxed); }
    // The kernel id of the camera's worker thread, once it has published; 0 before.
    pid_t workerThread(std::size_t camera) const {
        return cameras_[camera].worker.load(std::memory_order_relaxed);
    }

  private:
    struct Camera {
        std::unique_ptr<Sample[]> samples;
        std::atomic<std::size_t> count{0};
        std::atomic<pid_t> worker{0};
    };

    std::size_t capacity_;
    std::array<Camera, kCameraCount> cameras_;
    std::atomic<std::uint64_t> lost_{0};
};

}  // namespace camera_bench
