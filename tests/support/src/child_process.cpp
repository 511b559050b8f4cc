#include "camera_test/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace camera_test {
namespace {

// The test's environment with `overrides` set or replaced.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (overrides.count(text.substr(0, text.find('='))) == 0) {
            entries.push_back(text);
        }
    }
    for (const auto& [key, value] : overrides) {
        entries.push_back(key + "=" + value);
    }
    return entries;
}

std::vector<char*> NullTerminated(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string& text : strings) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// posix_spawn's file actions, destroyed with the object.
class FileActions {
  public:
    explicit FileActions(const SpawnOptions& options) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (options.closeOutput) {
            posix_spawn_file_actions_addclose(&actions_, STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions_, STDERR_FILENO);
        } else {
            RedirectOutput(options.outputFile, options.errorFile);
        }
        // Through spare numbers first, so that no target overwrites a source still to be copied; dup2 clears
        // close-on-exec on the copies.
        int spare = kFirstSpare;
        for (const auto& entry : options.descriptors) {
            posix_spawn_file_actions_adddup2(&actions_, entry.second, spare++);
        }
        spare = kFirstSpare;
        for (const auto& entry : options.descriptors) {
            posix_spawn_file_actions_adddup2(&actions_, spare, entry.first);
            posix_spawn_file_actions_addclose(&actions_, spare++);
        }
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    static constexpr int kFirstSpare = 100;

    void RedirectOutput(const std::string& outputFile, const std::string& errorFile) {
        constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC;
        if (!outputFile.empty()) {
            posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, outputFile.c_str(), kFlags, 0644);
            if (errorFile.empty()) {
                posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO);
            }
        }
        if (!errorFile.empty()) {
            posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, errorFile.c_str(), kFlags, 0644);
        }
    }

    posix_spawn_file_actions_t actions_;
};

double Seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

}  // namespace

std::string ExitStatus::Describe() const {
    return exited ? "exit status " + std::to_string(code) : "signal " + std::to_string(signal);
}

SupportResult<ChildProcess> ChildProcess::Spawn(const std::vector<std::string>& argv,
                                                const SpawnOptions& options) {
    if (argv.empty()) {
        return SupportResult<ChildProcess>::FromError(
            MakeError(SupportErrc::kCannotStart, "no program named"));
    }
    const FileActions actions(options);
    const std::vector<std::string> environment = ChildEnvironment(options.environment);
    std::vector<char*> args = NullTerminated(argv);
    std::vector<char*> envp = NullTerminated(environment);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), envp.data());
    if (result != 0) {
        return SupportResult<ChildProcess>::FromError(
            MakeError(SupportErrc::kCannotStart, "cannot start " + argv[0] + ": " + std::strerror(result)));
    }
    return ChildProcess(pid);
}

SupportResult<ChildProcess> ChildProcess::Spawn(const std::vector<std::string>& argv,
                                                const std::string& outputFile) {
    SpawnOptions options;
    options.outputFile = outputFile;
    return Spawn(argv, options);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Stop();
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
    }
    return *this;
}

bool ChildProcess::Reap(int options) {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    rusage usage{};
    pid_t done = -1;
    do {
        done = ::wait4(pid_, &status, options, &usage);
    } while (done < 0 && errno == EINTR);
    if (done != pid_) {
        return false;
    }
    ExitStatus exit;
    exit.exited = WIFEXITED(status);
    exit.code = exit.exited ? WEXITSTATUS(status) : -1;
    exit.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    exit.userSeconds = Seconds(usage.ru_utime);
    exit.systemSeconds = Seconds(usage.ru_stime);
    status_ = exit;
    pid_ = -1;
    return true;
}

bool ChildProcess::Running() {
    return pid_ > 0 && !Reap(WNOHANG);
}

void ChildProcess::Signal(int number) const {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_ ? status_->ShellStatus() : -1;
}

SupportResult<ExitStatus> ChildProcess::Join() {
    if (pid_ > 0 && !Reap(0)) {
        return SupportResult<ExitStatus>::FromError(
            MakeError(SupportErrc::kIo, "lost track of process " + std::to_string(pid_)));
    }
    if (!status_) {
        return SupportResult<ExitStatus>::FromError(
            MakeError(SupportErrc::kCannotStart, "no process started"));
    }
    return *status_;
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (Wait(grace) < 0 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Reap(0);
    }
}

}  // namespace camera_test
