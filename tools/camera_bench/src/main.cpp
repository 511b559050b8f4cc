// camera_bench: how the camera system performs on this machine.
//
// 1. The whole system: four cameras at 30 fps from the test pattern, every one undistorting, cropping,
//    resizing, converting and encoding, published over shared memory by the real CameraDriving, measured
//    over a window after a warm-up: published share of the captured frames, capture-to-publish latency,
//    CPU use and resident memory. It runs in a child process; a RouDi is started for it when none runs.
// 2. Our per-frame path without undistortion against the ffmpeg command doing the same crop, resize and
//    H.264 encoding, one thread each, from the same test-pattern frames. (The path stage by stage is
//    media_bench's.)
// 3. The undistorting path alone beside its floors measured in the same run (x264 alone on the same
//    pictures, one memcpy of a frame), and the PSNR of its stream against the exact output.
//
// Prints a table, then the line for scripts:
//   camera_bench: published_pct=… p50_ms=… p99_ms=… cpu_pct=… rss_mb=… vs_ffmpeg=… product_cpu_ms=…
//                 x264_floor_ms=… ratio=… psnr_db=…
// Exit status 0 when everything was measured, 1 when a part could not be, 2 for a bad command line.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ara/log/logging.h"
#include "bench_options.h"
#include "bench_report.h"
#include "camera_test/roudi_process.h"
#include "command_line.h"
#include "comparison.h"
#include "interrupt_cleanup.h"
#include "system_configuration.h"
#include "system_run.h"
#include "vcu/os/files.h"

namespace {

using camera_bench::BenchOptions;

// Frames of the path-alone part: five GOPs, enough for the rate over a second and a steady PSNR.
constexpr int kPathFrames = 150;

// Environment that would change what the cameras show or how fast; the bench sets its own.
const char* const kCameraOverrides[] = {"VCU_CAMERA_FPS", "VCU_CAMERA_SOURCE_8", "VCU_CAMERA_SOURCE_9",
                                        "VCU_CAMERA_SOURCE_10", "VCU_CAMERA_SOURCE_11"};

std::string clearCameraOverrides() {
    std::string cleared;
    for (const char* name : kCameraOverrides) {
        if (std::getenv(name) != nullptr) {
            cleared += (cleared.empty() ? "" : ", ") + std::string(name);
            unsetenv(name);
        }
    }
    return cleared;
}

camera_bench::SystemPart runSystem(const BenchOptions& options, const camera_tools::ScratchDirectory& scratch,
                                   const camera_bench::SystemConfiguration& configuration) {
    camera_bench::SystemPart part;
    auto started =
        camera_test::RouDiProcess::Start(CAMERA_BENCH_ROUDI, CAMERA_BENCH_CONFIG_DIR "/roudi.toml",
                                         scratch.file("roudi.log"), camera_test::RouDiPolicy::kUseRunning);
    if (!started) {
        part.status = started.Error().message;
        return part;
    }
    camera_test::RouDiProcess& rouDi = started.Value();
    camera_tools::registerChild(rouDi.Pid());
    part.rouDi = rouDi.StartedHere() ? "started by the bench (" CAMERA_BENCH_CONFIG_DIR "/roudi.toml)"
                                     : "already running, used as it is";
    setenv("CM_CONFIG_FILE_PATH", configuration.directory.c_str(), 1);
    setenv("VCU_CAMERA_CONFIG", configuration.sourceConfig.c_str(), 1);

    std::printf(
        "camera_bench: running the four cameras for %.0f s (%.0f s warm-up after the first frame, then "
        "the %.0f s window)\n",
        options.warmupSeconds + options.seconds, options.warmupSeconds, options.seconds);
    std::fflush(stdout);
    camera_bench::SystemRunSettings settings;
    settings.cameraConfig = configuration.cameraConfig;
    settings.warmupSeconds = options.warmupSeconds;
    settings.windowSeconds = options.seconds;
    settings.outputFile = scratch.file("camera_driving_stdout.log");
    part.figures = camera_bench::measureSystemInChild(settings);
    // Only now: RouDi terminates the processes still registered with it.
    camera_tools::unregisterChild(rouDi.Pid());
    rouDi.Stop();
    part.measured = part.figures.ok;
    if (!part.measured) {
        part.status = part.figures.error;
    }
    return part;
}

// Runs the tool with its command line read.
int measure(const BenchOptions& options) {
    // Every context at warn unless the caller chose otherwise: the orchestrator logs each frame at info.
    setenv("ARA_LOG_LEVEL", "warn", 0);
    ara::log::InitLogging("BNCH", "camera_bench", ara::log::LogLevel::kWarn, ara::log::LogMode::kConsole, "");
    camera_tools::installInterruptCleanup();
    const std::string cleared = clearCameraOverrides();

    camera_tools::ScratchDirectory scratch;
    if (!scratch.valid()) {
        std::fprintf(stderr, "camera_bench: cannot create a temporary directory\n");
        return 1;
    }
    std::printf("camera_bench: writing the configuration and undistortion maps into %s\n",
                scratch.path().c_str());
    std::fflush(stdout);
    const auto written =
        camera_bench::writeSystemConfiguration(scratch, CAMERA_BENCH_CONFIG_DIR "/cm_deployment.json", 30);
    if (!written) {
        std::fprintf(stderr, "camera_bench: %s\n", written.Error().message.c_str());
        return 1;
    }
    const camera_bench::SystemConfiguration& configuration = written.Value();

    camera_bench::SystemPart system;
    if (options.skipSystem) {
        system.status = "skipped (--skip-system)";
    } else {
        system = runSystem(options, scratch, configuration);
    }
    const std::string logLevel = std::getenv("ARA_LOG_LEVEL");
    if (system.measured && logLevel != "warn") {
        system.status = "ARA_LOG_LEVEL=" + logLevel + ": logging may have cost time";
    }
    if (!cleared.empty()) {
        system.status += (system.status.empty() ? "" : "; ") + std::string("ignored ") + cleared;
    }

    const camera_bench::ComparisonFigures comparison = camera_bench::runComparison(options, scratch);

    camera_bench::PathFigures path;
    if (comparison.file.frames > 0) {
        std::printf("camera_bench: the undistorting path alone, its floors and its PSNR on %d frames\n",
                    std::min(options.frames, kPathFrames));
        std::fflush(stdout);
        path = camera_bench::measurePath(comparison.file, configuration.mapX[0], configuration.mapY[0],
                                         kPathFrames);
    } else {
        path.error = "no frames were rendered";
    }

    const camera_bench::Summary summary = camera_bench::summarize(system, comparison, path);
    camera_bench::printReport(system, comparison, path, summary);
    const bool complete = (system.measured || options.skipSystem) && comparison.ok && path.ok &&
                          (comparison.ffmpegOk || options.skipFfmpeg);
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return camera_tools::RunTool("camera_bench", argc, argv, camera_bench::parseBenchOptions,
                                 camera_bench::benchUsage(), measure);
}
