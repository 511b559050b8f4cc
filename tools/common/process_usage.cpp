#include "process_usage.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace camera_tools {
namespace {

constexpr double kMegabyte = 1e6;

double seconds(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

double clockSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A "Key:   123 kB" line of /proc/self/status (kB meaning KiB there), in MB.
double statusMegabytes(const std::string& status, const std::string& key) {
    const std::size_t at = status.find("\n" + key + ":");
    if (at == std::string::npos) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return std::strtod(status.c_str() + at + key.size() + 2, nullptr) * 1024.0 / kMegabyte;
}

}  // namespace

CpuTimes processCpuTimes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuTimes{seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

double processCpuSeconds() {
    return clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}

double monotonicSeconds() {
    return clockSeconds(CLOCK_MONOTONIC);
}

std::int64_t realtimeNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    unsigned long long sizePages = 0;
    unsigned long long residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(residentPages) * static_cast<double>(sysconf(_SC_PAGESIZE)) / kMegabyte;
}

MemoryBreakdown memoryBreakdown() {
    std::ifstream file("/proc/self/status");
    std::stringstream text;
    text << "\n" << file.rdbuf();
    const std::string status = text.str();
    return MemoryBreakdown{statusMegabytes(status, "RssAnon"), statusMegabytes(status, "RssFile"),
                           statusMegabytes(status, "RssShmem"), statusMegabytes(status, "VmHWM")};
}

std::optional<ThreadCpu> parseThreadStat(const std::string& line) {
    // "tid (name) state ppid ...": the name may hold spaces and parentheses, so it ends at the last ')'.
    const std::size_t open = line.find('(');
    const std::size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    // After the name: state (field 3) ... utime (14), stime (15).
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int number = 3; number <= 15; ++number) {
        if (!(fields >> field)) {
            return std::nullopt;
        }
        if (number == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (number == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return ThreadCpu{static_cast<pid_t>(std::strtol(line.c_str(), nullptr, 10)),
                     line.substr(open + 1, close - open - 1), utime + stime, ContextSwitches{}};
}

std::optional<ContextSwitches> parseContextSwitches(const std::string& status) {
    std::optional<std::uint64_t> voluntary;
    std::optional<std::uint64_t> involuntary;
    std::istringstream lines(status);
    std::string key;
    while (lines >> key) {
        std::uint64_t value = 0;
        if (key == "voluntary_ctxt_switches:" && lines >> value) {
            voluntary = value;
        } else if (key == "nonvoluntary_ctxt_switches:" && lines >> value) {
            involuntary = value;
        }
        lines.clear();
        lines.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    if (!voluntary || !involuntary) {
        return std::nullopt;
    }
    return ContextSwitches{*voluntary, *involuntary};
}

std::vector<ThreadCpu> threadCpuTimes() {
    std::vector<ThreadCpu> threads;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        if (auto thread = parseThreadStat(line)) {
            std::ifstream statusFile(task.path() / "status");
            std::ostringstream status;
            status << statusFile.rdbuf();
            thread->switches = parseContextSwitches(status.str()).value_or(ContextSwitches{});
            threads.push_back(std::move(*thread));
        }
    }
    return threads;
}

double processCpuSecondsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    const auto cpu = std::getline(stat, line) ? parseThreadStat(line) : std::nullopt;
    return cpu ? static_cast<double>(cpu->ticks) / ticksPerSecond() : 0.0;
}

std::optional<MachineTicks> parseMachineTicks(const std::string& line) {
    std::istringstream fields(line);
    std::string name;
    if (!(fields >> name) || name != "cpu") {
        return std::nullopt;
    }
    // user nice system idle iowait irq softirq steal (guest time is already part of user)
    std::uint64_t value[8] = {};
    for (std::uint64_t& field : value) {
        if (!(fields >> field)) {
            return std::nullopt;
        }
    }
    MachineTicks ticks;
    ticks.busy = value[0] + value[1] + value[2] + value[5] + value[6];
    ticks.steal = value[7];
    ticks.all = ticks.busy + ticks.steal + value[3] + value[4];
    return ticks;
}

MachineTicks machineTicks() {
    std::ifstream stat("/proc/stat");
    std::string line;
    std::getline(stat, line);
    return parseMachineTicks(line).value_or(MachineTicks{});
}

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ticksPerSecond() {
    return static_cast<double>(sysconf(_SC_CLK_TCK));
}

pid_t currentThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

}  // namespace camera_tools
