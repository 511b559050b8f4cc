#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vrt::cm::test {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits until the file (a process's output) holds `text`; false after the timeout.
inline bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadFile(path).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Whether a RouDi holds its unique lock right now.
inline bool RouDiIsRunning() {
    const int fd = ::open("/tmp/iox-unique-roudi.lock", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool running = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    if (!running) {
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return running;
}

// A child process started with posix_spawn; killed (SIGTERM, then SIGKILL) and reaped when destroyed.
class ChildProcess {
  public:
    ChildProcess() = default;
    // Standard output and error go to `outputFile` when one is named.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutFile = "") {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!stdoutFile.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() { Stop(); }
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept {
        Stop();
        pid_ = other.pid_;
        other.pid_ = -1;
        return *this;
    }

    bool Started() const noexcept { return pid_ > 0; }
    pid_t Pid() const noexcept { return pid_; }
    void Signal(int number) const {
        if (pid_ > 0) {
            ::kill(pid_, number);
        }
    }

    // The exit status, or -1 when it did not exit normally within the timeout (it is killed then).
    int Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                Stop();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    void Stop() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 400; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_{-1};
};

// A RouDi of our own, with the given mempool configuration; refuses to start next to another RouDi.
class RouDiProcess {
  public:
    RouDiProcess(const std::string& roudiBinary, const std::string& configFile) {
        if (RouDiIsRunning()) {
            error_ =
                "another RouDi is already running (it holds /tmp/iox-unique-roudi.lock); this test needs "
                "one of its own with its own mempools: stop the running one (make run, the demo) or run "
                "the test with a private /tmp and /dev/shm (unshare -m)";
            return;
        }
        process_ = ChildProcess({roudiBinary, "-c", configFile}, "/dev/null");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        struct stat info {};
        while (std::chrono::steady_clock::now() < deadline) {
            if (RouDiIsRunning() && ::stat("/tmp/roudi", &info) == 0) {
                // The socket is bound before RouDi listens; give it a moment.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        error_ = "RouDi did not start within 10 s";
        process_.Stop();
    }

    const std::string& Error() const noexcept { return error_; }
    void Stop() { process_.Stop(); }
    // SIGKILL: RouDi ends without telling its clients (a crash); SIGSTOP and SIGCONT: a RouDi that hangs.
    void Signal(int number) const { process_.Signal(number); }

  private:
    ChildProcess process_;
    std::string error_;
};

}  // namespace vrt::cm::test
