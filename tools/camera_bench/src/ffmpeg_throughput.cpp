#include "ffmpeg_throughput.h"

#include "child_process.h"
#include "pipeline_throughput.h"
#include "process_usage.h"

namespace camera_bench {

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

ara::core::Result<FfmpegRun, std::string> runFfmpeg(const std::string& binary, const FrameFile& file,
                                                    int frames, const std::string& logFile) {
    using Measured = ara::core::Result<FfmpegRun, std::string>;
    const double start = monotonicSeconds();
    std::string error;
    const pid_t pid = spawnProcess(ffmpegCommand(binary, file, frames), logFile, &error);
    if (pid < 0) {
        return Measured::FromError(error);
    }
    ChildExit exit;
    if (!waitForChild(pid, &exit)) {
        return Measured::FromError("lost track of ffmpeg (pid " + std::to_string(pid) + ")");
    }
    FfmpegRun run;
    run.wallSeconds = monotonicSeconds() - start;
    run.cpuSeconds = exit.userSeconds + exit.systemSeconds;
    run.frames = frames;
    if (!exit.exited || exit.status != 0) {
        return Measured::FromError("ffmpeg failed (" +
                                   (exit.exited ? "exit status " + std::to_string(exit.status)
                                                : "signal " + std::to_string(exit.signal)) +
                                   "): " + fileTail(logFile, 800));
    }
    return Measured::FromValue(run);
}

}  // namespace camera_bench
