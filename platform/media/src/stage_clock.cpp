#include "stage_clock.h"

#include <time.h>

#include <atomic>

namespace mpu {
namespace {

struct StageCounters {
    std::atomic<std::uint64_t> cpuNs{0};
    std::atomic<std::uint64_t> runs{0};
};

std::array<StageCounters, kStageCount>& Counters() {
    static std::array<StageCounters, kStageCount> counters;
    return counters;
}

}  // namespace

std::array<StageCpu, kStageCount> stageCpuTotals() {
    std::array<StageCpu, kStageCount> totals{};
    for (std::size_t i = 0; i < kStageCount; ++i) {
        totals[i].cpuNs = Counters()[i].cpuNs.load(std::memory_order_relaxed);
        totals[i].runs = Counters()[i].runs.load(std::memory_order_relaxed);
    }
    return totals;
}

const char* stageName(Stage stage) {
    static constexpr const char* kNames[kStageCount] = {"remap", "crop_resize", "bgr", "encode"};
    return kNames[static_cast<std::size_t>(stage)];
}

namespace internal {

std::uint64_t threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(now.tv_nsec);
}

void addStageCpu(Stage stage, std::uint64_t cpuNs) {
    StageCounters& counters = Counters()[static_cast<std::size_t>(stage)];
    counters.cpuNs.fetch_add(cpuNs, std::memory_order_relaxed);
    counters.runs.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace internal
}  // namespace mpu
