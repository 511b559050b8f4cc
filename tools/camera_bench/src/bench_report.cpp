#include "bench_report.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "mpu/stage_cpu.h"

namespace camera_bench {

using camera_tools::Distribution;

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

// The goals the figures are held against.
constexpr double kPublishedPercentGoal = 99.9;  // at least
constexpr double kP99MsGoal = 15.0;             // at most
constexpr double kCpuPercentGoal = 80.0;        // at most, of all cores
constexpr double kRssMbGoal = 200.0;            // at most
constexpr double kVsFfmpegGoal = 1.1;           // at least
constexpr double kRatioGoal = 1.3;              // at most: the application's CPU per frame over x264's
constexpr double kPsnrLossDb = 0.3;             // at most, below x264 alone within the same cap
// Other work on the machine above this share of the cores makes the figures doubtful.
constexpr double kQuietMachinePercent = 5.0;

const char* verdict(double value, double goal, bool atLeast) {
    if (std::isnan(value) || std::isnan(goal)) {
        return "not measured";
    }
    return (atLeast ? value >= goal : value <= goal) ? "met" : "MISSED";
}

void printSystem(const SystemPart& system) {
    std::printf(
        "\nFull system: 4 cameras 1920x1080 NV12 at 30 fps (test pattern), undistort -> crop/resize "
        "1280x720 -> BGR -> H.264 -> iceoryx\n");
    if (!system.rouDi.empty()) {
        std::printf("  RouDi: %s\n", system.rouDi.c_str());
    }
    if (!system.measured) {
        std::printf("  not measured: %s\n", system.status.c_str());
        return;
    }
    const SystemFigures& f = system.figures;
    std::printf("  window %.1f s after a warm-up of %.1f s from the first published frame; %d CPUs\n",
                f.windowSeconds, f.warmupSeconds, f.cpuCount);
    std::printf("  %-7s %9s %9s %9s %10s %9s %8s %8s %8s %8s %6s %8s\n", "camera", "captured", "delivered",
                "published", "published%", "no-buffer", "overrun", "p50 ms", "p99 ms", "max ms", "keys",
                "kbit/s");
    for (std::size_t camera = 0; camera < f.cameras.size(); ++camera) {
        const CameraFigures& c = f.cameras[camera];
        const double percent =
            c.captured == 0 ? kNan
                            : 100.0 * static_cast<double>(c.published) / static_cast<double>(c.captured);
        std::printf("  cam_%-3zu %9llu %9llu %9llu %10.2f %9llu %8llu %8.2f %8.2f %8.2f %6llu %8.0f\n",
                    camera + 8, static_cast<unsigned long long>(c.captured),
                    static_cast<unsigned long long>(c.delivered),
                    static_cast<unsigned long long>(c.published), percent,
                    static_cast<unsigned long long>(c.droppedNoBuffer),
                    static_cast<unsigned long long>(c.droppedOverrun), c.p50Ms, c.p99Ms, c.maxMs,
                    static_cast<unsigned long long>(c.keyFrames),
                    static_cast<double>(c.bytes) * 8.0 / 1000.0 / f.windowSeconds);
    }
    std::printf("  %-7s %9llu %9s %9llu %10.3f\n", "all", static_cast<unsigned long long>(f.captured), "",
                static_cast<unsigned long long>(f.published), f.publishedPercent);
    std::printf(
        "  published of the frames due (captured + dropped for want of a buffer + source errors): "
        "%llu of %llu, %.3f %%\n",
        static_cast<unsigned long long>(f.published), static_cast<unsigned long long>(f.due),
        f.publishedOfDuePercent);
    if (f.unrecorded != 0) {
        std::printf("  warning: %llu published frames were not recorded (recorder full)\n",
                    static_cast<unsigned long long>(f.unrecorded));
    }
    const Distribution& l = f.latencyMs;
    std::printf(
        "  capture-to-publish latency, ms (%zu frames): min %.2f  mean %.2f  p50 %.2f  p90 %.2f  p99 %.2f  "
        "p99.9 %.2f  max %.2f\n",
        l.count, l.min, l.mean, l.p50, l.p90, l.p99, l.p999, l.max);
    const Distribution& key = f.keyFrameLatencyMs;
    const Distribution& other = f.otherFrameLatencyMs;
    std::printf(
        "    key frames (%zu): p50 %.2f  p99 %.2f  max %.2f;  other frames (%zu): p50 %.2f  p99 %.2f  "
        "max %.2f\n",
        key.count, key.p50, key.p99, key.max, other.count, other.p50, other.p99, other.max);
    std::printf(
        "    by %.0f s of the window, latency p99 ms / frames skipped by the workers / other work %%:",
        f.sliceSeconds);
    for (std::size_t slice = 0; slice < f.sliceP99Ms.size(); ++slice) {
        std::printf("  %.1f/%llu/%.1f", f.sliceP99Ms[slice],
                    static_cast<unsigned long long>(f.sliceSkipped[slice]), f.sliceOtherLoadPercent[slice]);
    }
    std::printf("\n");
    std::printf(
        "  CPU: %.1f %% of %d cores (user %.1f %%, system %.1f %%); by thread, %% of one core: capture "
        "%.1f, workers %.1f, other %.1f\n",
        f.cpuPercent, f.cpuCount, f.userPercent, f.systemPercent, f.captureCorePercent, f.workerCorePercent,
        f.otherCorePercent);
    const double published = static_cast<double>(std::max<std::uint64_t>(1, f.published));
    std::printf(
        "  CPU per published frame, ms: application %.3f (every thread but the capture threads), whole "
        "process %.3f, capture threads %.3f\n",
        (f.processCpuSeconds - f.captureCpuSeconds) * 1e3 / published, f.processCpuSeconds * 1e3 / published,
        f.captureCpuSeconds * 1e3 / published);
    double stagesMs = 0;
    std::printf("  media unit by stage, CPU us per frame (its own accounting):");
    for (std::size_t stage = 0; stage < f.stageCpuSeconds.size(); ++stage) {
        const double runs = static_cast<double>(std::max<std::uint64_t>(1, f.stageRuns[stage]));
        std::printf("  %s %.0f", mpu::stageName(static_cast<mpu::Stage>(stage)),
                    f.stageCpuSeconds[stage] * 1e6 / runs);
        stagesMs += f.stageCpuSeconds[stage] * 1e3 / published;
    }
    std::printf("  rest of the application %.0f\n",
                ((f.processCpuSeconds - f.captureCpuSeconds) * 1e3 / published - stagesMs) * 1e3);
    std::printf(
        "  switches of thread per published frame (every thread but the capture threads): %.1f (voluntary "
        "%.1f, involuntary %.1f)\n",
        static_cast<double>(f.applicationSwitches.voluntary + f.applicationSwitches.involuntary) / published,
        static_cast<double>(f.applicationSwitches.voluntary) / published,
        static_cast<double>(f.applicationSwitches.involuntary) / published);
    std::printf(
        "  busiest threads of %zu (%% of one core; mpu_vpc and mpu_venc are the media unit's picture and "
        "encoder channels, unnamed ones the acquisition and the middleware):\n",
        f.threadsSeen);
    for (std::size_t i = 0; i < f.threads.size() && i < 14; ++i) {
        const ThreadFigures& t = f.threads[i];
        std::printf("    %-16s %-10s tid %-7d %6.1f\n", t.name.c_str(), t.role.c_str(), t.tid, t.corePercent);
    }
    std::printf(
        "  resident memory, MB (10^6 bytes): peak %.1f (sampled every 100 ms), window start %.1f, end %.1f "
        "(anonymous %.1f, file %.1f, shared %.1f; kernel high-water mark %.1f)\n",
        f.rssPeakMb, f.rssStartMb, f.rssEndMb, f.memoryEnd.anonymous, f.memoryEnd.file, f.memoryEnd.shared,
        f.memoryEnd.highWater);
    std::printf(
        "  other work on this machine during the window: %.1f %% of the cores busy (hypervisor steal "
        "%.1f %%)%s\n",
        f.otherLoadPercent, f.stealPercent,
        f.otherLoadPercent > kQuietMachinePercent ? "  -- NOT QUIET: the figures are doubtful" : "");
    if (!system.status.empty()) {
        std::printf("  note: %s\n", system.status.c_str());
    }
}

void printComparison(const ComparisonFigures& c) {
    std::printf(
        "\nThroughput without undistortion, one frame after another, from the same %d test-pattern "
        "frames (1920x1080 NV12 file, crop margins %d/%d -> 1280x720)\n",
        c.file.frames, kCropTop, kCropLeft);
    if (!c.ok) {
        std::printf("  not measured: %s\n", c.error.c_str());
        return;
    }
    const std::string where = c.cpu >= 0 ? "CPU " + std::to_string(c.cpu) : "no CPU (confinement failed)";
    std::printf(
        "  frames per second, median of %zu rounds; \"one CPU\": ours (its caller and channel threads) and "
        "ffmpeg confined to %s\n",
        c.rounds.size(), where.c_str());
    std::printf("  %-66s %10s %10s\n", "", "per CPU-s", "per wall-s");
    std::printf("  %-66s %10.1f %10.1f\n", "ours, one CPU: CamPreprocess crop-resize + BGR + H.264",
                c.oursFpsCpu, c.oursFpsWall);
    std::printf("  %-66s %10.1f\n", "ours, one CPU, with creating and tearing down the preprocessor",
                c.oursWithSetupFpsCpu);
    std::printf("  %-66s %10.1f\n", "ours, one CPU, frames used where they lie in memory (file mapped)",
                c.oursInMemoryFpsCpu);
    std::printf("  %-66s %10.1f\n", "ours, free (threads wherever the scheduler puts them)",
                c.oursFreeFpsCpu);
    if (c.ffmpegOk) {
        std::printf("  %-66s %10.1f %10.1f\n", "ffmpeg, one CPU: crop + scale + libx264, start-up excluded",
                    c.ffmpegFpsCpu, c.ffmpegFpsWall);
        std::printf("  %-66s %10.1f\n", "ffmpeg, one CPU, whole process", c.ffmpegWholeFpsCpu);
        std::printf("  %-66s %10.1f\n", "ffmpeg, free", c.ffmpegFreeFpsCpu);
        std::printf(
            "  rounds, per CPU-second (one CPU: ours / in memory / ffmpeg -> ratio; free: ours / ffmpeg -> "
            "ratio):\n   ");
        for (const ComparisonRound& round : c.rounds) {
            std::printf("  %.0f/%.0f/%.0f->%.3f, %.0f/%.0f->%.3f;", round.ours, round.oursInMemory,
                        round.ffmpeg, round.ratio, round.oursFree, round.ffmpegFree, round.ratioFree);
        }
        std::printf(
            "\n  vs_ffmpeg = median of the one-CPU ratios = %.3f (lowest %.3f, highest %.3f); free: %.3f\n",
            c.vsFfmpeg, c.vsFfmpegLowest, c.vsFfmpegHighest, c.vsFfmpegFree);
        std::printf(
            "  ffmpeg per frame = (%d - %d frames) / (CPU of a %d-frame run - median CPU of the %d-frame "
            "runs); both read every frame out of the file\n",
            c.file.frames, c.ffmpegShortFrames, c.file.frames, c.ffmpegShortFrames);
        std::printf("  ffmpeg command: %s\n", c.ffmpegCommand.c_str());
    } else {
        std::printf("  ffmpeg: %s; vs_ffmpeg=nan\n", c.ffmpegError.c_str());
    }
    std::printf("  other work on this machine during the rounds: %.1f %% of the cores busy%s\n",
                c.otherLoadPercent,
                c.otherLoadPercent > kQuietMachinePercent ? "  -- NOT QUIET: the figures are doubtful" : "");
    std::printf("  the path stage by stage: media_bench\n");
}

void printPath(const PathFigures& p) {
    std::printf(
        "\nThe undistorting path alone, one frame after another, beside its floors (same run, same frames; "
        "wide lens, 1920x1080 -> 1280x720)\n");
    if (!p.ok) {
        std::printf("  not measured: %s\n", p.error.c_str());
        return;
    }
    std::printf("  %d frames; CPU per frame: our path %.3f ms (", p.frames, p.pathCpuMs);
    for (std::size_t stage = 0; stage < p.stageCpuUs.size(); ++stage) {
        std::printf("%s%s %.0f us", stage == 0 ? "" : ", ", mpu::stageName(static_cast<mpu::Stage>(stage)),
                    p.stageCpuUs[stage]);
    }
    std::printf(")\n");
    std::printf(
        "  floors: x264 alone on the same pictures %.3f ms; one memcpy of a 1080p NV12 frame %.0f us\n",
        p.x264FloorMs, p.memcpyUs);
    std::printf(
        "  PSNR against the exact output (undistortion and resize in double precision): our stream %.2f dB "
        "(luma %.2f), x264 alone %.2f dB, our pictures before encoding %.2f dB\n",
        p.psnrDb, p.psnrLumaDb, p.x264Floor.psnrDb, p.picturePsnrDb);
    std::printf(
        "  rate, kbit/s (cap 4000): our stream mean %.0f, highest over 1 s %.0f; x264 alone mean %.0f, "
        "highest "
        "%.0f\n",
        p.kbps, p.peakKbps, p.x264Floor.kbps, p.x264Floor.peakKbps);
    std::printf(
        "  x264 alone aiming at the cap as its mean rate: PSNR %.2f dB, mean %.0f kbit/s, highest over 1 s "
        "%.0f\n",
        p.x264AtCap.psnrDb, p.x264AtCap.kbps, p.x264AtCap.peakKbps);
    if (const auto& h = p.x264HoldingCap) {
        std::printf(
            "  x264 alone holding the cap in every second, the best of CRF and ABR under VBVs of maximum "
            "rate + "
            "buffer = cap: PSNR %.2f dB, mean %.0f kbit/s, highest over 1 s %.0f (%s, maximum %lld kbit/s, "
            "buffer %lld kbit)\n",
            h->psnrDb, h->kbps, h->peakKbps, h->rate.meanBitRate == 0 ? "CRF" : "ABR",
            static_cast<long long>(h->rate.maxBitRate / 1000),
            static_cast<long long>(h->rate.bufferBits / 1000));
    } else {
        std::printf("  x264 alone holding the cap in every second: none of its settings held it\n");
    }
}

}  // namespace

Summary summarize(const SystemPart& system, const ComparisonFigures& comparison, const PathFigures& path) {
    Summary summary{kNan, kNan, kNan, kNan, kNan, comparison.vsFfmpeg, kNan, kNan, kNan, kNan};
    if (path.ok) {
        summary.x264FloorMs = path.x264FloorMs;
        summary.psnrDb = path.psnrDb;
    }
    if (system.measured) {
        const SystemFigures& f = system.figures;
        summary.publishedPercent = f.publishedPercent;
        summary.p50Ms = f.latencyMs.p50;
        summary.p99Ms = f.latencyMs.p99;
        summary.cpuPercent = f.cpuPercent;
        summary.rssMb = f.rssPeakMb;
        if (f.published > 0) {
            summary.productCpuMs =
                (f.processCpuSeconds - f.captureCpuSeconds) * 1e3 / static_cast<double>(f.published);
        }
        summary.ratio = summary.productCpuMs / summary.x264FloorMs;
    }
    if (!comparison.ffmpegOk) {
        summary.vsFfmpeg = kNan;
    }
    return summary;
}

std::string summaryLine(const Summary& s) {
    char line[384];
    std::snprintf(line, sizeof(line),
                  "camera_bench: published_pct=%.3f p50_ms=%.3f p99_ms=%.3f cpu_pct=%.2f rss_mb=%.1f "
                  "vs_ffmpeg=%.3f product_cpu_ms=%.3f x264_floor_ms=%.3f ratio=%.3f psnr_db=%.2f",
                  s.publishedPercent, s.p50Ms, s.p99Ms, s.cpuPercent, s.rssMb, s.vsFfmpeg, s.productCpuMs,
                  s.x264FloorMs, s.ratio, s.psnrDb);
    return line;
}

void printReport(const SystemPart& system, const ComparisonFigures& comparison, const PathFigures& path,
                 const Summary& summary) {
    printSystem(system);
    printComparison(comparison);
    printPath(path);
    std::printf("\nGoals\n");
    std::printf("  %-44s %10.3f  %s\n", "published of captured >= 99.9 %", summary.publishedPercent,
                verdict(summary.publishedPercent, kPublishedPercentGoal, true));
    std::printf("  %-44s %10.3f  %s\n", "latency p99 <= 15 ms", summary.p99Ms,
                verdict(summary.p99Ms, kP99MsGoal, false));
    std::printf("  %-44s %10.2f  %s\n", "CPU <= 80 % of the cores", summary.cpuPercent,
                verdict(summary.cpuPercent, kCpuPercentGoal, false));
    std::printf("  %-44s %10.1f  %s\n", "resident memory (peak) <= 200 MB", summary.rssMb,
                verdict(summary.rssMb, kRssMbGoal, false));
    std::printf("  %-44s %10.3f  %s\n", "throughput vs ffmpeg >= 1.1", summary.vsFfmpeg,
                verdict(summary.vsFfmpeg, kVsFfmpegGoal, true));
    std::printf("  %-44s %10.3f  %s\n", "application CPU / x264 alone <= 1.3", summary.ratio,
                verdict(summary.ratio, kRatioGoal, false));
    const double psnrFloor =
        path.ok && path.x264HoldingCap ? path.x264HoldingCap->psnrDb - kPsnrLossDb : kNan;
    std::printf("  %-44s %10.2f  %s\n", "PSNR >= x264 alone's within the cap - 0.3 dB", summary.psnrDb,
                verdict(summary.psnrDb, psnrFloor, true));
    std::printf("\n%s\n", summaryLine(summary).c_str());
    std::fflush(stdout);
}

}  // namespace camera_bench
