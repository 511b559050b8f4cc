#include "frame_latency_recorder.h"

#include "process_usage.h"

namespace camera_bench {

using camera_tools::currentThreadId;

FrameLatencyRecorder::FrameLatencyRecorder(std::size_t capacityPerCamera) : capacity_(capacityPerCamera) {
    for (Camera& camera : cameras_) {
        // Value-initialised, so that every page is touched now and not on the worker's first frames.
        camera.samples = std::make_unique<Sample[]>(capacity_);
    }
}

void FrameLatencyRecorder::onFramePublished(unsigned char index,
                                            const vcu::camera::CameraAuxiliaryInfo& frame,
                                            const timespec& published, bool isKeyFrame, std::size_t bytes) {
    if (index >= kCameraCount) {
        lost_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Camera& camera = cameras_[index];
    if (camera.worker.load(std::memory_order_relaxed) == 0) {
        camera.worker.store(currentThreadId(), std::memory_order_relaxed);
    }
    const std::size_t next = camera.count.load(std::memory_order_relaxed);
    if (next >= capacity_) {
        lost_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Sample& sample = camera.samples[next];
    const vcu::camera::CameraTimestamp& captured = frame.captureTime();
    sample.captureNs = captured.sec * 1000000000 + captured.nsec;
    sample.publishNs = static_cast<std::int64_t>(published.tv_sec) * 1000000000 + published.tv_nsec;
    sample.sequence = frame.frameSequence;
    sample.bytes = static_cast<std::uint32_t>(bytes);
    sample.keyFrame = isKeyFrame;
    camera.count.store(next + 1, std::memory_order_release);
}

}  // namespace camera_bench
