#include "ffmpeg_throughput.h"

#include "camera_test/child_process.h"
#include "camera_test/files.h"
#include "interrupt_cleanup.h"
#include "pipeline_throughput.h"
#include "process_usage.h"

namespace camera_bench {

using camera_tools::monotonicSeconds;
using camera_tools::registerChild;
using camera_tools::unregisterChild;

std::vector<std::string> ffmpegCommand(const std::string& binary, const FrameFile& file, int frames) {
    const std::string crop = "crop=" + std::to_string(file.width - 2 * kCropLeft) + ":" +
                             std::to_string(file.height - 2 * kCropTop) + ":" + std::to_string(kCropLeft) +
                             ":" + std::to_string(kCropTop);
    const std::string scale =
        "scale=" + std::to_string(kOutputWidth) + ":" + std::to_string(kOutputHeight) + ":flags=bilinear";
    return {binary,
            "-nostdin",
            "-hide_banner",
            "-loglevel",
            "error",
            "-threads",
            "1",
            "-f",
            "rawvideo",
            "-pix_fmt",
            "nv12",
            "-video_size",
            std::to_string(file.width) + "x" + std::to_string(file.height),
            "-framerate",
            "30",
            "-i",
            file.path,
            "-frames:v",
            std::to_string(frames),
            "-filter_threads",
            "1",
            "-vf",
            crop + "," + scale,
            "-c:v",
            "libx264",
            "-preset",
            "ultrafast",
            "-b:v",
            "4M",
            "-g",
            "30",
            "-threads",
            "1",
            "-f",
            "null",
            "-"};
}

BenchResult<FfmpegRun> runFfmpeg(const std::string& binary, const FrameFile& file, int frames,
                                 const std::string& logFile) {
    using Measured = BenchResult<FfmpegRun>;
    const double start = monotonicSeconds();
    auto spawned = camera_test::ChildProcess::Spawn(ffmpegCommand(binary, file, frames), logFile);
    if (!spawned) {
        return Measured::FromError({BenchErrc::kProcess, spawned.Error().message});
    }
    camera_test::ChildProcess& child = spawned.Value();
    const pid_t pid = child.Pid();
    registerChild(pid);  // an interrupt stops it
    const auto exit = child.Join();
    unregisterChild(pid);
    if (!exit) {
        return Measured::FromError(
            {BenchErrc::kProcess, "lost track of ffmpeg (pid " + std::to_string(pid) + ")"});
    }
    FfmpegRun run;
    run.wallSeconds = monotonicSeconds() - start;
    run.cpuSeconds = exit.Value().userSeconds + exit.Value().systemSeconds;
    run.frames = frames;
    if (!exit.Value().exited || exit.Value().code != 0) {
        return Measured::FromError({BenchErrc::kProcess, "ffmpeg failed (" + exit.Value().Describe() +
                                                             "): " + camera_test::FileTail(logFile, 800)});
    }
    return Measured::FromValue(run);
}

}  // namespace camera_bench
