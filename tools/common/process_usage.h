#pragma once

// What this process uses: CPU time (whole process and per thread) and resident memory, read from
// getrusage, the CPU-time clocks and /proc/self. All functions are thread-safe.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace camera_tools {

struct CpuTimes {
    double userSeconds{0};
    double systemSeconds{0};
    double total() const { return userSeconds + systemSeconds; }
};

// getrusage(RUSAGE_SELF): every thread of the process, live and ended.
CpuTimes processCpuTimes();
// CLOCK_PROCESS_CPUTIME_ID, in seconds: the same total with the scheduler's precision, for short intervals.
double processCpuSeconds();
// CLOCK_MONOTONIC and CLOCK_REALTIME, in seconds and nanoseconds.
double monotonicSeconds();
std::int64_t realtimeNanoseconds();

// Resident set from /proc/self/statm, in MB (10^6 bytes); NaN when it cannot be read.
double residentMegabytes();

// The resident set by kind and its high-water mark, from /proc/self/status, in MB (NaN when missing).
struct MemoryBreakdown {
    double anonymous{0};
    double file{0};
    double shared{0};
    double highWater{0};
};
MemoryBreakdown memoryBreakdown();

// How often a thread left its CPU so far: because it waited for something (voluntary) or because the
// scheduler gave the CPU to another thread (involuntary).
struct ContextSwitches {
    std::uint64_t voluntary{0};
    std::uint64_t involuntary{0};
};

// One thread's name and CPU time so far, in clock ticks (user + system), and its switches.
struct ThreadCpu {
    pid_t tid{0};
    std::string name;
    std::uint64_t ticks{0};
    ContextSwitches switches;
};
// Every live thread of the process, from /proc/self/task/<tid>/stat and status.
std::vector<ThreadCpu> threadCpuTimes();
// Parses one /proc/<pid>/task/<tid>/stat line; nothing when it does not have the expected fields.
std::optional<ThreadCpu> parseThreadStat(const std::string& line);
// Reads the switch counters of a /proc/<pid>/task/<tid>/status text; nothing when either is missing.
std::optional<ContextSwitches> parseContextSwitches(const std::string& status);
double ticksPerSecond();
// Another process's CPU time so far (user + system, all its threads), in seconds, from /proc/<pid>/stat; 0
// when it cannot be read.
double processCpuSecondsOf(pid_t pid);

// The whole machine's CPU time so far, in clock ticks summed over every CPU, from /proc/stat: busy (user,
// nice, system, irq, softirq), stolen by the hypervisor, and everything (idle and iowait included).
struct MachineTicks {
    std::uint64_t busy{0};
    std::uint64_t steal{0};
    std::uint64_t all{0};
};
MachineTicks machineTicks();
// Parses the aggregate "cpu ..." line of /proc/stat; nothing when it is not one.
std::optional<MachineTicks> parseMachineTicks(const std::string& line);
// CPU time of this process's reaped children (getrusage RUSAGE_CHILDREN).
double childrenCpuSeconds();

// The calling thread's kernel id.
pid_t currentThreadId();

}  // namespace camera_tools
