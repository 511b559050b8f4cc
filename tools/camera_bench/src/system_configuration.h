#pragma once

// The configuration the four-camera run reads, written into the bench's scratch directory.

#include <array>
#include <string>

#include "bench_error.h"
#include "interrupt_cleanup.h"

namespace camera_bench {

using camera_tools::ScratchDirectory;

struct SystemConfiguration {
    std::string directory;     // for CM_CONFIG_FILE_PATH
    std::string cameraConfig;  // <directory>/aos_a_cam_config.ini
    std::string sourceConfig;  // <directory>/vcu_camera.ini, for VCU_CAMERA_CONFIG
    // Undistortion maps of each camera (platform ids 8 to 11).
    std::array<std::string, 4> mapX;
    std::array<std::string, 4> mapY;
};

// Writes into the subdirectory "config" of `scratch`: the undistortion maps of two wide-angle calibrations,
// the camera configuration with all four cameras undistorting (1920 x 1080 NV12 in, 1280 x 720 out, GOP 30),
// a copy of the platform manifest `manifest`, and the camera service's configuration: every camera shows the
// test pattern at `fps`. The error names the file that cannot be written.
BenchResult<SystemConfiguration> writeSystemConfiguration(const ScratchDirectory& scratch,
                                                          const std::string& manifest, int fps);

}  // namespace camera_bench
