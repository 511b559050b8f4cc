#pragma once

// What the media unit's work costs, stage by stage: the CPU time its threads (and callers that run a task
// themselves) spent in each kind of picture task and in the encoders, summed over every channel since the
// process started. Read by the benchmarks; not part of the mpu_* API. Thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>

namespace mpu {

enum class Stage : std::size_t { kRemap = 0, kCropResize, kConvert, kEncode };
inline constexpr std::size_t kStageCount = 4;

struct StageCpu {
    std::uint64_t cpuNs{0};  // thread CPU time (CLOCK_THREAD_CPUTIME_ID) spent in the stage
    std::uint64_t runs{0};   // tasks run, or frames encoded
};

// The totals so far, indexed by Stage.
std::array<StageCpu, kStageCount> stageCpuTotals();

// The short name of a stage for reports: "remap", "crop_resize", "bgr", "encode".
const char* stageName(Stage stage);

}  // namespace mpu
