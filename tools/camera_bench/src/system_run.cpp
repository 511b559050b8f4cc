#include "system_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "ara/log/logging.h"
#include "camera_driving.h"
#include "camera_test/child_process.h"
#include "configuration_check.h"
#include "frame_latency_recorder.h"
#include "interrupt_cleanup.h"
#include "mpu/stage_cpu.h"
#include "vcu/camera/camera.h"
#include "vcu/os/unique_fd.h"

namespace camera_bench {

using camera_tools::CpuTimes;
using camera_tools::currentThreadId;
using camera_tools::Distribution;
using camera_tools::MachineTicks;
using camera_tools::machineTicks;
using camera_tools::MemoryBreakdown;
using camera_tools::memoryBreakdown;
using camera_tools::monotonicSeconds;
using camera_tools::processCpuTimes;
using camera_tools::realtimeNanoseconds;
using camera_tools::registerChild;
using camera_tools::removeInterruptCleanup;
using camera_tools::residentMegabytes;
using camera_tools::summarize;
using camera_tools::ThreadCpu;
using camera_tools::threadCpuTimes;
using camera_tools::ticksPerSecond;
using camera_tools::unregisterChild;

namespace {

constexpr unsigned int kFirstCameraId = CameraDriving::kFirstCameraId;
constexpr std::size_t kCameraCount = CameraDriving::kCameraCount;
constexpr double kFramesPerSecond = 30.0;
// After the window: frames captured just before its end are still on their way to publication.
constexpr double kDrainSeconds = 1.0;
// Time allowed for the first frame to be published.
constexpr double kStartSeconds = 30.0;
constexpr double kRssSampleSeconds = 0.1;
constexpr double kSliceSeconds = 10.0;

void setError(SystemFigures* figures, const std::string& error) {
    if (figures->error.empty()) {
        figures->error = error;  // the first error is the cause
    }
}

// The window's slices: kSliceSeconds each, longer when the window would need more than kMaxSlices.
struct SliceLayout {
    double seconds;
    std::size_t count;
};

SliceLayout sliceLayout(double windowSeconds) {
    const double seconds =
        std::max(kSliceSeconds, windowSeconds / static_cast<double>(SystemFigures::kMaxSlices));
    const auto count = static_cast<std::size_t>(std::max(1.0, std::ceil(windowSeconds / seconds - 1e-3)));
    return SliceLayout{seconds, std::min(count, SystemFigures::kMaxSlices)};
}

// The machine's busy time and this process's CPU time at one instant, to tell other work apart.
struct LoadSample {
    MachineTicks machine;
    double ownSeconds{0};
};

LoadSample takeLoadSample() {
    return LoadSample{machineTicks(), processCpuTimes().total()};
}

// Busy time of the machine between two samples that was not this process's, as a share of all cores.
double otherLoadPercent(const LoadSample& from, const LoadSample& to) {
    const double all = static_cast<double>(to.machine.all - from.machine.all) / ticksPerSecond();
    if (all <= 0) {
        return 0.0;
    }
    const double busy = static_cast<double>(to.machine.busy - from.machine.busy) / ticksPerSecond();
    return std::max(0.0, 100.0 * (busy - (to.ownSeconds - from.ownSeconds)) / all);
}

// The state of the measurement at one instant.
struct Snapshot {
    std::int64_t realtimeNs{0};
    double monotonic{0};
    CpuTimes cpu;
    std::array<vcu::camera::CameraStats, kCameraCount> stats{};
    std::vector<ThreadCpu> threads;
    double rssMb{0};
    MemoryBreakdown memory;
    MachineTicks machine;
    std::array<mpu::StageCpu, mpu::kStageCount> stages{};
};

Snapshot takeSnapshot(SystemFigures* figures) {
    Snapshot snapshot;
    snapshot.realtimeNs = realtimeNanoseconds();
    snapshot.monotonic = monotonicSeconds();
    for (std::size_t camera = 0; camera < kCameraCount; ++camera) {
        if (!vcu::camera::CameraGetStats(kFirstCameraId + static_cast<unsigned int>(camera),
                                         snapshot.stats[camera])) {
            setError(figures, "the camera service gave no counters for camera " +
                                  std::to_string(kFirstCameraId + camera));
        }
    }
    snapshot.cpu = processCpuTimes();
    snapshot.threads = threadCpuTimes();
    snapshot.rssMb = residentMegabytes();
    snapshot.memory = memoryBreakdown();
    snapshot.machine = machineTicks();
    snapshot.stages = mpu::stageCpuTotals();
    return snapshot;
}

// Drives the run from its own thread: waits for the first frame and the warm-up, takes the snapshots at
// the window's ends, samples the resident memory, and finally stops the system.
class RunSupervisor {
  public:
    RunSupervisor(CameraDriving& driving, const FrameLatencyRecorder& recorder,
                  const SystemRunSettings& settings, SystemFigures* figures)
        : driving_(driving), recorder_(recorder), settings_(settings), figures_(figures) {}

    void start() {
        thread_ = std::thread([this] { run(); });
    }

    // The system ended (init returned or threw): ends the supervision early if it is still going.
    void systemEnded() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    bool windowComplete() const { return windowComplete_; }
    const Snapshot& first() const { return first_; }
    const Snapshot& last() const { return last_; }
    pid_t threadId() const { return tid_; }
    // Load samples at the slices' boundaries, the window's start and end included.
    const std::vector<LoadSample>& sliceLoads() const { return sliceLoads_; }
    double rssPeakMb() const { return rssPeakMb_; }

  private:
    // Sleeps until the monotonic time `until`, sampling memory; false when the system ended meanwhile.
    bool sleepUntil(double until) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            rssPeakMb_ = std::max(rssPeakMb_, residentMegabytes());
            const double now = monotonicSeconds();
            if (ended_) {
                return false;
            }
            if (now >= until) {
                return true;
            }
            wake_.wait_for(lock, std::chrono::duration<double>(std::min(kRssSampleSeconds, until - now)));
        }
    }

    bool anyPublished() const {
        for (std::size_t camera = 0; camera < kCameraCount; ++camera) {
            if (recorder_.count(camera) > 0) {
                return true;
            }
        }
        return false;
    }

    void run() {
        tid_ = currentThreadId();
        const double startDeadline = monotonicSeconds() + kStartSeconds;
        while (!anyPublished()) {
            if (monotonicSeconds() > startDeadline) {
                setError(figures_, "no frame was published within " +
                                       std::to_string(static_cast<int>(kStartSeconds)) + " s of the start");
                driving_.requestStop();
                return;
            }
            if (!sleepUntil(monotonicSeconds() + 0.01)) {
                return;
            }
        }
        const double windowStart = monotonicSeconds() + settings_.warmupSeconds;
        if (!sleepUntil(windowStart)) {
            return;
        }
        first_ = takeSnapshot(figures_);
        const SliceLayout slices = sliceLayout(settings_.windowSeconds);
        sliceLoads_.push_back(takeLoadSample());
        for (std::size_t slice = 1; slice < slices.count; ++slice) {
            if (!sleepUntil(first_.monotonic + static_cast<double>(slice) * slices.seconds)) {
                return;
            }
            sliceLoads_.push_back(takeLoadSample());
        }
        if (!sleepUntil(first_.monotonic + settings_.windowSeconds)) {
            return;
        }
        last_ = takeSnapshot(figures_);
        sliceLoads_.push_back(takeLoadSample());
        windowComplete_ = true;
        sleepUntil(last_.monotonic + kDrainSeconds);
        driving_.requestStop();
    }

    CameraDriving& driving_;
    const FrameLatencyRecorder& recorder_;
    const SystemRunSettings& settings_;
    SystemFigures* figures_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ended_{false};
    bool windowComplete_{false};
    Snapshot first_;
    Snapshot last_;
    std::vector<LoadSample> sliceLoads_;
    pid_t tid_{0};
    double rssPeakMb_{0};
};

void countFrames(const FrameLatencyRecorder& recorder, const Snapshot& first, const Snapshot& last,
                 SystemFigures* figures) {
    std::vector<double> all;
    std::vector<double> keyFrames;
    std::vector<double> otherFrames;
    std::vector<std::vector<double>> slices(figures->sliceP99Ms.size());
    for (std::size_t camera = 0; camera < kCameraCount; ++camera) {
        CameraFigures& out = figures->cameras[camera];
        const vcu::camera::CameraStats& from = first.stats[camera];
        const vcu::camera::CameraStats& to = last.stats[camera];
        out.captured = to.captured - from.captured;
        out.delivered = to.delivered - from.delivered;
        out.droppedNoBuffer = to.droppedNoBuffer - from.droppedNoBuffer;
        out.droppedOverrun = to.droppedOverrun - from.droppedOverrun;
        out.sourceErrors = to.sourceErrors - from.sourceErrors;

        std::vector<double> latencies;
        const std::size_t count = recorder.count(camera);
        std::uint64_t previousSequence = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const FrameLatencyRecorder::Sample& sample = recorder.sample(camera, i);
            const std::uint64_t sequenceBefore = previousSequence;
            previousSequence = sample.sequence;
            if (sample.captureNs < first.realtimeNs || sample.captureNs >= last.realtimeNs) {
                continue;
            }
            const auto slice =
                std::min(figures->sliceP99Ms.size() - 1,
                         static_cast<std::size_t>(static_cast<double>(sample.captureNs - first.realtimeNs) /
                                                  1e9 / figures->sliceSeconds));
            ++out.published;
            out.keyFrames += sample.keyFrame ? 1 : 0;
            out.bytes += sample.bytes;
            const double latency = static_cast<double>(sample.publishNs - sample.captureNs) / 1e6;
            latencies.push_back(latency);
            (sample.keyFrame ? keyFrames : otherFrames).push_back(latency);
            slices[slice].push_back(latency);
            if (sequenceBefore != 0 && sample.sequence > sequenceBefore + 1) {
                figures->sliceSkipped[slice] += sample.sequence - sequenceBefore - 1;
            }
        }
        all.insert(all.end(), latencies.begin(), latencies.end());
        const Distribution distribution = summarize(latencies);
        out.p50Ms = distribution.p50;
        out.p99Ms = distribution.p99;
        out.maxMs = distribution.max;
        figures->captured += out.captured;
        figures->published += out.published;
        figures->due += out.captured + out.droppedNoBuffer + out.sourceErrors;
    }
    figures->latencyMs = summarize(all);
    for (std::size_t slice = 0; slice < figures->sliceP99Ms.size(); ++slice) {
        figures->sliceP99Ms[slice] = summarize(slices[slice]).p99;
    }
    figures->keyFrameLatencyMs = summarize(keyFrames);
    figures->otherFrameLatencyMs = summarize(otherFrames);
    figures->publishedPercent = figures->captured == 0 ? 0.0
                                                       : 100.0 * static_cast<double>(figures->published) /
                                                             static_cast<double>(figures->captured);
    figures->publishedOfDuePercent = figures->due == 0 ? 0.0
                                                       : 100.0 * static_cast<double>(figures->published) /
                                                             static_cast<double>(figures->due);
    figures->unrecorded = recorder.lost();
}

void measureThreads(const FrameLatencyRecorder& recorder, pid_t supervisor, const Snapshot& first,
                    const Snapshot& last, SystemFigures* figures) {
    std::map<pid_t, ThreadCpu> before;
    for (const ThreadCpu& thread : first.threads) {
        before[thread.tid] = thread;
    }
    const double window = last.monotonic - first.monotonic;
    const double toCorePercent = 100.0 / ticksPerSecond() / window;
    std::vector<ThreadFigures> threads;
    for (const ThreadCpu& thread : last.threads) {
        const auto found = before.find(thread.tid);
        const ThreadCpu atStart = found == before.end() ? ThreadCpu{} : found->second;
        const std::uint64_t start = atStart.ticks;
        ThreadFigures out;
        out.name = thread.name;
        out.tid = thread.tid;
        out.corePercent = static_cast<double>(thread.ticks - start) * toCorePercent;
        std::string role = "other";
        if (thread.name.rfind("vcam_", 0) == 0) {
            role = "capture";
        } else if (thread.tid == supervisor) {
            role = "bench";
        }
        for (std::size_t camera = 0; camera < kCameraCount; ++camera) {
            if (recorder.workerThread(camera) == thread.tid) {
                role = "worker " + std::to_string(kFirstCameraId + camera);
            }
        }
        out.role = role;
        if (role == "capture") {
            figures->captureCorePercent += out.corePercent;
            figures->captureCpuSeconds += static_cast<double>(thread.ticks - start) / ticksPerSecond();
        } else if (role.rfind("worker", 0) == 0) {
            figures->workerCorePercent += out.corePercent;
        } else {
            figures->otherCorePercent += out.corePercent;
        }
        if (role != "capture") {
            figures->applicationSwitches.voluntary += thread.switches.voluntary - atStart.switches.voluntary;
            figures->applicationSwitches.involuntary +=
                thread.switches.involuntary - atStart.switches.involuntary;
        }
        threads.push_back(out);
    }
    std::sort(threads.begin(), threads.end(),
              [](const ThreadFigures& a, const ThreadFigures& b) { return a.corePercent > b.corePercent; });
    figures->threadsSeen = threads.size();
    threads.resize(std::min(threads.size(), SystemFigures::kMaxThreads));
    figures->threads = std::move(threads);
}

}  // namespace

SystemFigures measureSystem(const SystemRunSettings& settings) {
    SystemFigures figures;
    figures.warmupSeconds = settings.warmupSeconds;
    figures.cpuCount = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));

    ara::log::Logger& logger = ara::log::CreateLogger("BNCH", "camera_bench", ara::log::LogLevel::kWarn);
    auto read = readConfiguration(settings.cameraConfig, logger);
    if (!read || !checkConfiguration(read.Value(), settings.cameraConfig, logger)) {
        setError(&figures, "the configuration " + settings.cameraConfig + " was refused (see the log above)");
        return figures;
    }

    const auto capacity = static_cast<std::size_t>(
        (settings.warmupSeconds + settings.windowSeconds + kStartSeconds + kDrainSeconds + 5.0) *
        kFramesPerSecond * 2.0);
    FrameLatencyRecorder recorder(capacity);
    CameraDriving driving;
    driving.setFrameObserver(&recorder);
    RunSupervisor supervisor(driving, recorder, settings, &figures);
    supervisor.start();
    try {
        driving.init(read.Value());
    } catch (const std::exception& error) {
        setError(&figures, std::string("the camera system ended with an error: ") + error.what());
    }
    supervisor.systemEnded();
    if (!supervisor.windowComplete()) {
        setError(&figures, "the camera system ended before the measured window was over");
        return figures;
    }

    const Snapshot& first = supervisor.first();
    const Snapshot& last = supervisor.last();
    figures.windowSeconds = last.monotonic - first.monotonic;
    const SliceLayout slices = sliceLayout(settings.windowSeconds);
    figures.sliceSeconds = slices.seconds;
    figures.sliceP99Ms.assign(slices.count, 0.0);
    figures.sliceSkipped.assign(slices.count, 0);
    figures.sliceOtherLoadPercent.assign(slices.count, 0.0);
    const std::vector<LoadSample>& loads = supervisor.sliceLoads();
    for (std::size_t slice = 0; slice < slices.count && slice + 1 < loads.size(); ++slice) {
        figures.sliceOtherLoadPercent[slice] = otherLoadPercent(loads[slice], loads[slice + 1]);
    }
    countFrames(recorder, first, last, &figures);
    measureThreads(recorder, supervisor.threadId(), first, last, &figures);
    const double capacitySeconds = figures.windowSeconds * figures.cpuCount;
    figures.userPercent = 100.0 * (last.cpu.userSeconds - first.cpu.userSeconds) / capacitySeconds;
    figures.systemPercent = 100.0 * (last.cpu.systemSeconds - first.cpu.systemSeconds) / capacitySeconds;
    figures.cpuPercent = figures.userPercent + figures.systemPercent;
    figures.processCpuSeconds = last.cpu.total() - first.cpu.total();
    static_assert(mpu::kStageCount == 4, "SystemFigures holds four stages");
    for (std::size_t stage = 0; stage < mpu::kStageCount; ++stage) {
        figures.stageCpuSeconds[stage] =
            static_cast<double>(last.stages[stage].cpuNs - first.stages[stage].cpuNs) / 1e9;
        figures.stageRuns[stage] = last.stages[stage].runs - first.stages[stage].runs;
    }
    figures.rssStartMb = first.rssMb;
    figures.rssEndMb = last.rssMb;
    figures.rssPeakMb = std::max({supervisor.rssPeakMb(), first.rssMb, last.rssMb});
    figures.memoryEnd = last.memory;
    figures.otherLoadPercent = otherLoadPercent(LoadSample{first.machine, first.cpu.total()},
                                                LoadSample{last.machine, last.cpu.total()});
    const double machineSeconds =
        static_cast<double>(last.machine.all - first.machine.all) / ticksPerSecond();
    if (machineSeconds > 0) {
        figures.stealPercent = 100.0 * static_cast<double>(last.machine.steal - first.machine.steal) /
                               ticksPerSecond() / machineSeconds;
    }
    figures.ok = figures.error.empty();
    return figures;
}

SystemFigures measureSystemInChild(const SystemRunSettings& settings) {
    SystemFigures figures;
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) {
        setError(&figures, std::string("pipe: ") + std::strerror(errno));
        return figures;
    }
    vcu::os::UniqueFd readEnd(ends[0]);
    vcu::os::UniqueFd writeEnd(ends[1]);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        setError(&figures, std::string("fork: ") + std::strerror(errno));
        return figures;
    }
    if (child == 0) {
        removeInterruptCleanup();
        readEnd.reset();
        if (!settings.outputFile.empty()) {
            const vcu::os::UniqueFd output(
                open(settings.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            if (output.valid()) {
                dup2(output.get(), STDOUT_FILENO);
            }
        }
        const SystemFigures measured = measureSystem(settings);
        const std::string text = systemFiguresToJson(measured);
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t written = write(writeEnd.get(), text.data() + sent, text.size() - sent);
            if (written <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(written);
        }
        writeEnd.reset();
        // exit, not _exit: the middleware's runtime leaves RouDi on the way out.
        std::exit(measured.ok ? 0 : 1);
    }
    registerChild(child);
    camera_test::ChildProcess measuring = camera_test::ChildProcess::Adopt(child);
    writeEnd.reset();

    // The child needs its start-up, the warm-up, the window, the drain and the teardown.
    const double deadline = monotonicSeconds() + settings.warmupSeconds + settings.windowSeconds + 120.0;
    // The child closes its end once the figures are written.
    std::string text;
    bool complete = false;
    for (double left = deadline - monotonicSeconds(); !complete && left > 0;
         left = deadline - monotonicSeconds()) {
        pollfd readable{readEnd.get(), POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(std::min(left, 1.0) * 1000));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t count = read(readEnd.get(), chunk, sizeof(chunk));
        if (count < 0) {
            break;
        }
        complete = count == 0;
        text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    readEnd.reset();
    // Text cut off by the deadline is refused like any other that does not hold the figures.
    auto received = systemFiguresFromJson(complete ? text : std::string());
    if (!received) {
        unregisterChild(child);
        measuring.Stop(std::chrono::seconds(5));
        figures = SystemFigures{};
        setError(&figures,
                 "the measuring process ended or hung without sending its figures (see the log above)");
        return figures;
    }
    figures = std::move(received).Value();
    // The figures are in; the child only tears down now. Give it time, then make sure it is gone.
    if (measuring.Wait(std::chrono::seconds(30)) < 0) {
        std::fprintf(stderr, "camera_bench: the measuring process did not end after its run; stopping it\n");
        measuring.Stop(std::chrono::seconds(5));
    }
    unregisterChild(child);
    return figures;
}

}  // namespace camera_bench
