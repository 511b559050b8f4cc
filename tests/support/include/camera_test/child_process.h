#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "camera_test/support_error.h"

namespace camera_test {

// How a child ended, and the processor time it used (wait4's rusage).
struct ExitStatus {
    bool exited{false};
    int code{-1};   // its exit status, when it exited
    int signal{0};  // the signal that ended it otherwise
    double userSeconds{0};
    double systemSeconds{0};

    // The exit status, or 128 + the signal, as a shell reports it.
    int ShellStatus() const noexcept { return exited ? code : 128 + signal; }
    // "exit status 3", "signal 9"
    std::string Describe() const;
};

// Where a child's standard descriptors go. Standard input is always /dev/null.
struct SpawnOptions {
    // Standard output, and standard error unless `errorFile` is named, into this file (truncated); both are
    // inherited when it is empty.
    std::string outputFile;
    std::string errorFile;
    // Standard output and error closed, as a process started without them has them; overrides the files.
    bool closeOutput{false};
    // Set or replaced in the child's environment, which is the test's otherwise.
    std::map<std::string, std::string> environment;
    // Descriptors handed to the child: the parent's descriptor `second` becomes the child's `first` (3 and
    // up), also when the parent's is close-on-exec.
    std::map<int, int> descriptors;
};

// A child process started with posix_spawn. Move-only; when destroyed while it runs it is stopped (SIGTERM,
// then SIGKILL) and reaped, so that no test leaves a process behind. Not thread-safe.
class ChildProcess {
  public:
    // argv[0] is the program's path.
    static SupportResult<ChildProcess> Spawn(const std::vector<std::string>& argv,
                                             const SpawnOptions& options = {});
    // Standard output and error into `outputFile`.
    static SupportResult<ChildProcess> Spawn(const std::vector<std::string>& argv,
                                             const std::string& outputFile);

    // Takes charge of a child this process started otherwise (fork).
    static ChildProcess Adopt(pid_t pid) noexcept { return ChildProcess(pid); }

    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // -1 when no process was started or it has been reaped.
    pid_t Pid() const noexcept { return pid_; }
    bool Started() const noexcept { return pid_ > 0 || status_.has_value(); }
    // Whether it still runs; reaps it once it has ended.
    bool Running();
    void Signal(int number) const;

    // Its ShellStatus() once it has ended; -1 when it still runs after `timeout` (it is left running) or
    // none was started.
    int Wait(std::chrono::milliseconds timeout);
    // Waits as long as it runs.
    SupportResult<ExitStatus> Join();
    // How it ended; nothing while it runs.
    const std::optional<ExitStatus>& Status() const noexcept { return status_; }

    // SIGTERM, up to `grace` for it to end, then SIGKILL; reaps it.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(4));

  private:
    explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}
    // waitpid with `options`; true when it was reaped now.
    bool Reap(int options);

    pid_t pid_{-1};
    std::optional<ExitStatus> status_;
};

}  // namespace camera_test
