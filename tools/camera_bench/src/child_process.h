#pragma once

// Starting helper programs (RouDi, ffmpeg) and finding them.

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace camera_bench {

// The full path of `name` found in PATH (or `name` itself when it holds a '/' and is executable); empty when
// there is none.
std::string findExecutable(const std::string& name);

// Starts argv[0] (a path) with standard input from /dev/null and standard output and error into
// `outputFile` (truncated). Returns the pid, or -1 with `error` set.
pid_t spawnProcess(const std::vector<std::string>& argv, const std::string& outputFile, std::string* error);

// How a child ended: its wait status and its CPU use (wait4's rusage).
struct ChildExit {
    bool exited{false};
    int status{-1};  // exit status when exited
    int signal{0};   // terminating signal otherwise
    double userSeconds{0};
    double systemSeconds{0};
};
// Waits for the child; false when waiting failed.
bool waitForChild(pid_t pid, ChildExit* result);
// SIGTERM, up to `graceSeconds` for it to end, then SIGKILL; always reaps it.
void stopChild(pid_t pid, double graceSeconds);

// The last `maxBytes` of a text file, for error messages.
std::string fileTail(const std::string& path, std::size_t maxBytes);

}  // namespace camera_bench
