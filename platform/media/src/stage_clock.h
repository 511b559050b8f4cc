#pragma once

// Adds the calling thread's CPU time over a scope to a stage's totals (see mpu/stage_cpu.h). Two reads of the
// thread's CPU clock per task.

#include "mpu/stage_cpu.h"

namespace mpu::internal {

std::uint64_t threadCpuNanoseconds();
void addStageCpu(Stage stage, std::uint64_t cpuNs);

class StageClock {
  public:
    explicit StageClock(Stage stage) : stage_(stage), start_(threadCpuNanoseconds()) {}
    ~StageClock() { addStageCpu(stage_, threadCpuNanoseconds() - start_); }
    StageClock(const StageClock&) = delete;
    StageClock& operator=(const StageClock&) = delete;

  private:
    Stage stage_;
    std::uint64_t start_;
};

}  // namespace mpu::internal
