#pragma once

// The four-camera run: the real CameraDriving (acquisition, preprocessing, encoding, publishing over
// shared memory) in this process or in a child, measured over a window after a warm-up.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench_error.h"
#include "percentiles.h"
#include "process_usage.h"

namespace camera_bench {

using camera_tools::ContextSwitches;
using camera_tools::Distribution;
using camera_tools::MemoryBreakdown;

struct CameraFigures {
    // Camera service counters over the window.
    std::uint64_t captured{0};  // frames queued for the application
    std::uint64_t delivered{0};
    std::uint64_t droppedNoBuffer{0};
    std::uint64_t droppedOverrun{0};
    std::uint64_t sourceErrors{0};
    // Published frames captured within the window.
    std::uint64_t published{0};
    std::uint64_t keyFrames{0};
    std::uint64_t bytes{0};
    double p50Ms{0};
    double p99Ms{0};
    double maxMs{0};
};

struct ThreadFigures {
    std::string name;
    std::string role;  // capture, worker, bench or other
    int tid{0};
    double corePercent{0};  // of one core, over the window
};

// Everything the run measured. A child sends it to its parent as JSON (systemFiguresToJson).
struct SystemFigures {
    static constexpr std::size_t kMaxThreads = 40;

    bool ok{false};
    std::string error;  // the first error, the cause; empty when the run was measured
    double warmupSeconds{0};
    double windowSeconds{0};  // as measured
    int cpuCount{0};

    std::array<CameraFigures, 4> cameras{};
    std::uint64_t captured{0};
    std::uint64_t published{0};
    double publishedPercent{0};
    // Frames the cameras were due to deliver: captured, and those dropped for want of a free buffer or a
    // picture from the source.
    std::uint64_t due{0};
    double publishedOfDuePercent{0};
    std::uint64_t unrecorded{0};  // frames the recorder had no room for (should be 0)
    Distribution latencyMs{};
    Distribution keyFrameLatencyMs{};  // the same, of key frames alone and of the others
    Distribution otherFrameLatencyMs{};

    // The window in slices of sliceSeconds (10 s, more for long windows): each slice's latency p99, the
    // frames the workers skipped in it (gaps in a camera's published sequence numbers) and the other work on
    // the machine, to tell a steady tail from bursts.
    static constexpr std::size_t kMaxSlices = 36;
    double sliceSeconds{0};
    std::vector<double> sliceP99Ms;  // one value a slice, as the two below
    std::vector<std::uint64_t> sliceSkipped;
    std::vector<double> sliceOtherLoadPercent;  // see otherLoadPercent

    double cpuPercent{0};  // of all cpuCount cores
    double userPercent{0};
    double systemPercent{0};
    // Busy time of the machine's CPUs that was not this process's (other processes, the kernel's own work),
    // and time the hypervisor took, as shares of all cores: what the measured figures competed with.
    double otherLoadPercent{0};
    double stealPercent{0};
    // CPU time over the window: the whole process, and the stand-in camera's capture threads (vcam_<id>);
    // the difference is the application's.
    double processCpuSeconds{0};
    double captureCpuSeconds{0};
    // Switches of CPU over the window by every thread but the capture threads: what the application's
    // threads cost in wake-ups.
    ContextSwitches applicationSwitches{};
    // The media unit's own accounting over the window (mpu/stage_cpu.h), by stage: CPU seconds and runs.
    std::array<double, 4> stageCpuSeconds{};
    std::array<std::uint64_t, 4> stageRuns{};
    double captureCorePercent{0};  // by thread role, of one core
    double workerCorePercent{0};
    double otherCorePercent{0};
    std::vector<ThreadFigures> threads;  // busiest first, kMaxThreads at most
    std::size_t threadsSeen{0};

    double rssStartMb{0};  // at the window's start
    double rssPeakMb{0};   // highest of the samples every 100 ms, over the whole run
    double rssEndMb{0};    // at the window's end
    MemoryBreakdown memoryEnd{};
};

// The figures as JSON text, and back; the error says why `text` does not hold them.
std::string systemFiguresToJson(const SystemFigures& figures);
BenchResult<SystemFigures> systemFiguresFromJson(const std::string& text);

struct SystemRunSettings {
    std::string cameraConfig;  // the INI file (its directory is CM_CONFIG_FILE_PATH)
    double warmupSeconds{3.0};
    double windowSeconds{60.0};
    // Where the child's standard output goes: the publishing port prints a line per published frame.
    std::string outputFile;
};

// Runs the system in this process until the window is over, then stops it and returns the figures. The
// warm-up starts with the first published frame. Needs a running RouDi, CM_CONFIG_FILE_PATH and the camera
// service's configuration set, and logging initialised.
SystemFigures measureSystem(const SystemRunSettings& settings);

// Runs measureSystem in a forked child, so that this process never registers with RouDi and may stop it
// afterwards. Call it while this process has a single thread.
SystemFigures measureSystemInChild(const SystemRunSettings& settings);

}  // namespace camera_bench
