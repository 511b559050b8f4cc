#include "comparison.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include "camera_test/files.h"
#include "ffmpeg_throughput.h"
#include "percentiles.h"
#include "process_usage.h"

namespace camera_bench {

using camera_tools::childrenCpuSeconds;
using camera_tools::MachineTicks;
using camera_tools::machineTicks;
using camera_tools::median;
using camera_tools::processCpuSeconds;
using camera_tools::ScratchDirectory;
using camera_tools::ticksPerSecond;

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += (line.empty() ? "" : " ") + word;
    }
    return line;
}

// Confines the calling thread to one CPU (the highest it may use) while it lives; threads and processes it
// starts meanwhile inherit that. The previous set is restored at the end.
class OneCpu {
  public:
    OneCpu() {
        CPU_ZERO(&previous_);
        if (sched_getaffinity(0, sizeof(previous_), &previous_) != 0) {
            return;
        }
        for (int candidate = CPU_SETSIZE - 1; candidate >= 0; --candidate) {
            if (CPU_ISSET(candidate, &previous_)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(candidate, &one);
                if (sched_setaffinity(0, sizeof(one), &one) == 0) {
                    cpu_ = candidate;
                }
                return;
            }
        }
    }
    ~OneCpu() {
        if (cpu_ >= 0) {
            sched_setaffinity(0, sizeof(previous_), &previous_);
        }
    }
    OneCpu(const OneCpu&) = delete;
    OneCpu& operator=(const OneCpu&) = delete;

    int cpu() const { return cpu_; }

  private:
    cpu_set_t previous_;
    int cpu_{-1};
};

// ffmpeg's runs of one kind (one CPU, or free), a full and a short one per round.
struct FfmpegSeries {
    std::vector<FfmpegRun> all;
    std::vector<FfmpegRun> first;

    // Empty, or the error of the run that failed.
    std::string run(const std::string& binary, const ComparisonFigures& figures, const std::string& log) {
        const auto full = runFfmpeg(binary, figures.file, figures.file.frames, log);
        const auto shortRun = full ? runFfmpeg(binary, figures.file, figures.ffmpegShortFrames, log) : full;
        if (!shortRun) {
            return shortRun.Error().message;
        }
        all.push_back(full.Value());
        first.push_back(shortRun.Value());
        return {};
    }

    // Frames per second of round `i`, the median start-up taken off; `wall` chooses the elapsed time.
    double perFrame(std::size_t i, int shortFrames, bool wall) const {
        std::vector<double> startUp;
        for (const FfmpegRun& run : first) {
            startUp.push_back(wall ? run.wallSeconds : run.cpuSeconds);
        }
        const double seconds = (wall ? all[i].wallSeconds : all[i].cpuSeconds) - median(startUp);
        return (all[i].frames - shortFrames) / seconds;
    }
};

double perCpuSecond(const ThroughputRun& run) {
    return run.frames / run.cpuSeconds;
}

}  // namespace

ComparisonFigures runComparison(const BenchOptions& options, const ScratchDirectory& scratch) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ComparisonFigures figures;
    figures.vsFfmpeg = figures.vsFfmpegFree = nan;
    figures.file.path = scratch.file("frames_1920x1080.nv12");

    std::printf("camera_bench: rendering %d test-pattern frames into %s\n", options.frames,
                figures.file.path.c_str());
    std::fflush(stdout);
    auto rendered = renderPatternFrames(scratch.file("vcu_camera_render.ini"), options.frames, figures.file);
    if (!rendered) {
        figures.error = rendered.Error().message;
        return figures;
    }
    figures.file = std::move(rendered).Value();

    std::string ffmpeg;
    if (options.skipFfmpeg) {
        figures.ffmpegError = "skipped (--skip-ffmpeg)";
    } else {
        ffmpeg = camera_test::FindExecutable("ffmpeg").ValueOr(std::string());
        if (ffmpeg.empty()) {
            figures.ffmpegError =
                "ffmpeg was not found in PATH: install the Debian package ffmpeg (scripts/install-deps.sh)";
        }
    }
    figures.ffmpegShortFrames = std::max(30, options.frames / 10);
    if (!ffmpeg.empty()) {
        figures.ffmpegCommand = joined(ffmpegCommand("ffmpeg", figures.file, figures.file.frames));
    }

    std::vector<double> oursWall, oursWithSetup;
    FfmpegSeries oneCpuRuns;
    FfmpegSeries freeRuns;
    const std::string ffmpegLog = scratch.file("ffmpeg.log");
    const MachineTicks machineStart = machineTicks();
    const double ownStart = processCpuSeconds() + childrenCpuSeconds();
    for (int round = 1; round <= options.rounds; ++round) {
        std::printf("camera_bench: comparison round %d of %d\n", round, options.rounds);
        std::fflush(stdout);
        ComparisonRound result;
        {
            const OneCpu confined;
            figures.cpu = confined.cpu();
            const auto copied = runPipeline(figures.file, FrameInput::kCopied);
            const auto inPlace = copied ? runPipeline(figures.file, FrameInput::kInPlace) : copied;
            if (!inPlace) {
                figures.error = inPlace.Error().message;
                return figures;
            }
            const ThroughputRun& ours = copied.Value();
            const ThroughputRun& inMemory = inPlace.Value();
            result.ours = perCpuSecond(ours);
            result.oursInMemory = perCpuSecond(inMemory);
            oursWall.push_back(ours.frames / ours.wallSeconds);
            oursWithSetup.push_back(ours.frames / (ours.cpuSeconds + ours.setupCpuSeconds));
            if (!ffmpeg.empty() && figures.ffmpegError.empty()) {
                figures.ffmpegError = oneCpuRuns.run(ffmpeg, figures, ffmpegLog);
            }
        }
        const auto free = runPipeline(figures.file, FrameInput::kCopied);
        if (!free) {
            figures.error = free.Error().message;
            return figures;
        }
        result.oursFree = perCpuSecond(free.Value());
        if (!ffmpeg.empty() && figures.ffmpegError.empty()) {
            figures.ffmpegError = freeRuns.run(ffmpeg, figures, ffmpegLog);
        }
        figures.rounds.push_back(result);
    }
    const MachineTicks machineEnd = machineTicks();
    const double ownSeconds = processCpuSeconds() + childrenCpuSeconds() - ownStart;
    const double machineSeconds = static_cast<double>(machineEnd.all - machineStart.all) / ticksPerSecond();
    if (machineSeconds > 0) {
        const double busySeconds =
            static_cast<double>(machineEnd.busy - machineStart.busy) / ticksPerSecond();
        figures.otherLoadPercent = std::max(0.0, 100.0 * (busySeconds - ownSeconds) / machineSeconds);
    }

    const auto column = [&](double ComparisonRound::*field) {
        std::vector<double> values;
        for (const ComparisonRound& round : figures.rounds) {
            values.push_back(round.*field);
        }
        return values;
    };
    figures.ok = true;
    figures.oursFpsCpu = median(column(&ComparisonRound::ours));
    figures.oursFpsWall = median(oursWall);
    figures.oursWithSetupFpsCpu = median(oursWithSetup);
    figures.oursInMemoryFpsCpu = median(column(&ComparisonRound::oursInMemory));
    figures.oursFreeFpsCpu = median(column(&ComparisonRound::oursFree));

    const std::size_t rounds = figures.rounds.size();
    if (figures.ffmpegError.empty() && oneCpuRuns.all.size() == rounds && freeRuns.all.size() == rounds) {
        std::vector<double> wall, whole;
        for (std::size_t i = 0; i < rounds; ++i) {
            ComparisonRound& round = figures.rounds[i];
            round.ffmpeg = oneCpuRuns.perFrame(i, figures.ffmpegShortFrames, false);
            round.ratio = round.ours / round.ffmpeg;
            round.ffmpegFree = freeRuns.perFrame(i, figures.ffmpegShortFrames, false);
            round.ratioFree = round.oursFree / round.ffmpegFree;
            wall.push_back(oneCpuRuns.perFrame(i, figures.ffmpegShortFrames, true));
            whole.push_back(oneCpuRuns.all[i].frames / oneCpuRuns.all[i].cpuSeconds);
        }
        figures.ffmpegOk = true;
        figures.ffmpegFpsCpu = median(column(&ComparisonRound::ffmpeg));
        figures.ffmpegFpsWall = median(wall);
        figures.ffmpegWholeFpsCpu = median(whole);
        figures.ffmpegFreeFpsCpu = median(column(&ComparisonRound::ffmpegFree));
        const std::vector<double> ratios = column(&ComparisonRound::ratio);
        figures.vsFfmpeg = median(ratios);
        figures.vsFfmpegLowest = *std::min_element(ratios.begin(), ratios.end());
        figures.vsFfmpegHighest = *std::max_element(ratios.begin(), ratios.end());
        figures.vsFfmpegFree = median(column(&ComparisonRound::ratioFree));
    }
    return figures;
}

}  // namespace camera_bench
