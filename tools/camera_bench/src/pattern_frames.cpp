#include "pattern_frames.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "vcu/camera/camera.h"

namespace camera_bench {
namespace {

constexpr int kCameraId = 8;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Stops the camera service when rendering ends, however it ends.
struct CameraSession {
    ~CameraSession() { vcu::camera::CameraDeinit(); }
};

}  // namespace

BenchResult<FrameFile> renderPatternFrames(const std::string& sourceConfig, int count, FrameFile file) {
    using Rendered = BenchResult<FrameFile>;
    {
        std::ofstream config(sourceConfig, std::ios::trunc);
        config << "; camera_bench: the comparison's frames, rendered faster than real time.\n"
                  "[camera]\nsource = pattern\nfps = 120\nbuffers = 16\n";
        if (!config) {
            return Rendered::FromError({BenchErrc::kIo, "cannot write " + sourceConfig});
        }
    }
    setenv("VCU_CAMERA_CONFIG", sourceConfig.c_str(), 1);

    std::unique_ptr<std::FILE, FileCloser> output(std::fopen(file.path.c_str(), "wb"));
    if (!output) {
        return Rendered::FromError({BenchErrc::kIo, "cannot create " + file.path});
    }
    vcu::camera::CameraAccessConfig access;
    access.cameraModel = "camera_bench";
    access.cameraId = kCameraId;
    access.width = file.width;
    access.height = file.height;
    access.imageFormat = vcu::camera::kImageFormatNv12;
    const int started = vcu::camera::CameraInit({access});
    if (started != vcu::camera::kCameraOk) {
        return Rendered::FromError(
            {BenchErrc::kPlatform,
             "the camera service did not start (status " + std::to_string(started) + ", see the log above)"});
    }
    CameraSession session;

    file.frames = 0;
    std::vector<vcu::camera::CameraData> frames;
    while (file.frames < count) {
        frames.clear();
        const int status = vcu::camera::CameraGetData(kCameraId, frames, 2000);
        if (status != vcu::camera::kCameraOk) {
            return Rendered::FromError(
                {BenchErrc::kPlatform,
                 "the camera service delivered no frame (status " + std::to_string(status) + ")"});
        }
        for (const vcu::camera::CameraData& frame : frames) {
            void* data = nullptr;
            unsigned long size = 0;
            if (!frame.buffers[vcu::camera::CameraData::kPictureBuffer].GetBuffData(data, size) ||
                size < file.frameBytes()) {
                return Rendered::FromError(
                    {BenchErrc::kPlatform,
                     "a camera frame holds no picture of " + std::to_string(file.frameBytes()) + " bytes"});
            }
            if (std::fwrite(data, 1, file.frameBytes(), output.get()) != file.frameBytes()) {
                return Rendered::FromError({BenchErrc::kIo, "cannot write " + file.path});
            }
            if (file.frames == 0) {
                file.firstSequence = frame.auxiliaryInfo.frameSequence;
            }
            file.lastSequence = frame.auxiliaryInfo.frameSequence;
            if (++file.frames == count) {
                break;
            }
        }
    }
    if (std::fflush(output.get()) != 0) {
        return Rendered::FromError({BenchErrc::kIo, "cannot write " + file.path});
    }
    return Rendered::FromValue(std::move(file));
}

}  // namespace camera_bench
