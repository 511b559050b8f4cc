#include "system_configuration.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "lens/lens_model.h"

namespace camera_bench {

using camera_tools::ScratchDirectory;

namespace {

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;

struct Calibration {
    const char* name;
    lens::Intrinsics camera;
    lens::Distortion distortion;
    double zoom;
};

// The demo's two lenses: a wide angle with strong barrel distortion viewed a little wider (black corners),
// and a milder one.
const Calibration kCalibrations[] = {
    {"wide", {1100.0, 1100.0, 959.5, 539.5}, {-0.32, 0.12, 0.001, -0.0005, -0.02}, 0.85},
    {"mild", {1300.0, 1300.0, 959.5, 539.5}, {-0.18, 0.05, 0.0, 0.0, 0.0}, 1.0},
};

using Written = BenchResult<SystemConfiguration>;

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

}  // namespace

BenchResult<SystemConfiguration> writeSystemConfiguration(const ScratchDirectory& scratch,
                                                          const std::string& manifest, int fps) {
    const std::string directory = scratch.subdirectory("config");
    if (directory.empty()) {
        return Written::FromError({BenchErrc::kIo, "cannot create " + scratch.path() + "/config"});
    }
    SystemConfiguration configuration;
    configuration.directory = directory;
    configuration.cameraConfig = scratch.file("config/aos_a_cam_config.ini");
    configuration.sourceConfig = scratch.file("config/vcu_camera.ini");

    for (const Calibration& calibration : kCalibrations) {
        lens::Intrinsics view = calibration.camera;
        view.fx *= calibration.zoom;
        view.fy *= calibration.zoom;
        const lens::UndistortMaps maps =
            lens::makeUndistortMaps(kWidth, kHeight, calibration.camera, calibration.distortion, view);
        const std::string stem = std::string("config/") + calibration.name;
        const auto mapsWritten =
            lens::writeMapFiles(maps, scratch.file(stem + "_x.bin"), scratch.file(stem + "_y.bin"));
        if (!mapsWritten) {
            return Written::FromError({BenchErrc::kIo, mapsWritten.Error().message});
        }
    }

    std::string ini =
        "; camera_bench: four cameras, every one undistorting, cropping, resizing and encoding.\n";
    for (int camera = 0; camera < 4; ++camera) {
        const int id = 8 + camera;
        // Cameras 8 and 9 look through the wide lens, 10 and 11 through the mild one; 10 also crops.
        const Calibration& calibration = kCalibrations[camera < 2 ? 0 : 1];
        const std::string stem = directory + "/" + calibration.name;
        configuration.mapX[camera] = stem + "_x.bin";
        configuration.mapY[camera] = stem + "_y.bin";
        const bool crops = id == 10;
        ini += "\n[cam_" + std::to_string(id) + "]\n";
        ini += "inputImageWidth = " + std::to_string(kWidth) + "\n";
        ini += "inputImageHeight = " + std::to_string(kHeight) + "\n";
        ini += "outputImageWidth = 1280\noutputImageHeight = 720\n";
        ini += std::string("cropTopOffset = ") + (crops ? "54" : "0") + "\n";
        ini += std::string("cropLeftOffset = ") + (crops ? "96" : "0") + "\n";
        ini += "encoderGopNumber = 30\n";
        ini += "remapFilePathX = " + configuration.mapX[camera] + "\n";
        ini += "remapFilePathY = " + configuration.mapY[camera] + "\n";
    }
    const std::string sources =
        "; camera_bench: every camera shows the moving test pattern.\n[camera]\nsource = pattern\nfps = " +
        std::to_string(fps) + "\n";
    const std::pair<const std::string&, const std::string&> files[] = {{configuration.cameraConfig, ini},
                                                                       {configuration.sourceConfig, sources}};
    for (const auto& [path, text] : files) {
        if (!writeText(path, text)) {
            return Written::FromError({BenchErrc::kIo, "cannot write " + path});
        }
    }
    std::error_code failure;
    std::filesystem::copy_file(manifest, scratch.file("config/cm_deployment.json"),
                               std::filesystem::copy_options::overwrite_existing, failure);
    if (failure) {
        return Written::FromError(
            {BenchErrc::kIo, "cannot copy the platform manifest " + manifest + ": " + failure.message()});
    }
    return Written::FromValue(std::move(configuration));
}

}  // namespace camera_bench
