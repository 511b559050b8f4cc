#include "roudi_launcher.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "child_process.h"

namespace camera_bench {
namespace {

constexpr const char kLockFile[] = "/tmp/iox-unique-roudi.lock";
constexpr const char kSocket[] = "/tmp/roudi";

bool socketExists() {
    struct stat info {};
    return stat(kSocket, &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

bool rouDiIsRunning() {
    const int fd = open(kLockFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // RouDi holds an exclusive lock; when a shared one can be taken, nobody does.
    const bool locked = flock(fd, LOCK_SH | LOCK_NB) != 0;
    if (!locked) {
        flock(fd, LOCK_UN);
    }
    close(fd);
    return locked;
}

RouDiLauncher::RouDiLauncher(const std::string& binary, const std::string& config,
                             const std::string& logFile) {
    if (rouDiIsRunning()) {
        return;
    }
    const std::string path = findExecutable(binary);
    if (path.empty()) {
        error_ = "RouDi (" + binary +
                 ") was not found: install the Debian package iceoryx (scripts/install-deps.sh) or start "
                 "iox-roudi -c config/roudi.toml yourself";
        return;
    }
    if (access(config.c_str(), R_OK) != 0) {
        error_ = "the RouDi configuration " + config + " cannot be read";
        return;
    }
    pid_ = spawnProcess({path, "-c", config}, logFile, &error_);
    if (pid_ < 0) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "RouDi ended at start-up: " + fileTail(logFile, 600);
            return;
        }
        if (rouDiIsRunning() && socketExists()) {
            // The socket is bound a moment before RouDi accepts registrations.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "RouDi did not start within 10 s: " + fileTail(logFile, 600);
    stop();
}

void RouDiLauncher::stop() {
    if (pid_ > 0) {
        stopChild(pid_, 10.0);
        pid_ = -1;
    }
}

}  // namespace camera_bench
