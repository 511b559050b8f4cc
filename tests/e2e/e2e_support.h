#pragma once

// Running the real binaries for process-level tests: a child process with its own output files, the
// configuration directory it reads, and reading back what it wrote.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// A directory of the running test's own.
inline std::string testDirectory(const std::string& name) {
    std::string pattern = "/tmp/e2e_" + name + "_XXXXXX";
    return ::mkdtemp(pattern.data()) == nullptr ? std::string("/tmp") : pattern;
}

// A child with the given extra environment, its standard output and error in two files (an empty name
// closes that descriptor in the child). Stopped with SIGKILL and reaped when destroyed if it still runs.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
            const std::string& outFile, const std::string& errFile) {
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (environment.count(text.substr(0, text.find('='))) == 0) {
                env.push_back(text);
            }
        }
        for (const auto& [key, value] : environment) {
            env.push_back(key + "=" + value);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (const auto& [fd, file] :
             {std::pair{STDOUT_FILENO, outFile}, std::pair{STDERR_FILENO, errFile}}) {
            if (file.empty()) {
                posix_spawn_file_actions_addclose(&actions, fd);
            } else {
                posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                                 0644);
            }
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& entry : env) {
            envp.push_back(const_cast<char*>(entry.c_str()));
        }
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }
    void signal(int number) const {
        if (pid_ > 0) {
            ::kill(pid_, number);
        }
    }
    // The exit status (128 + signal when killed by one), or -1 when it still runs after `timeout`.
    int wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return exitStatus_;
    }

  private:
    pid_t pid_{-1};
    int exitStatus_{-1};
};

// Resident memory of a process in kB, 0 when it cannot be read.
inline long residentKb(pid_t pid) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

}  // namespace e2e
