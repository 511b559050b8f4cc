#include "camera_test/roudi_process.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "camera_test/files.h"
#include "vcu/os/unique_fd.h"

namespace camera_test {
namespace {

constexpr const char kLockFile[] = "/tmp/iox-unique-roudi.lock";
constexpr const char kSocket[] = "/tmp/roudi";
constexpr auto kStartLimit = std::chrono::seconds(10);

bool SocketExists() {
    struct stat info {};
    return ::stat(kSocket, &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

bool RouDiIsRunning() {
    const vcu::os::UniqueFd lock(::open(kLockFile, O_RDONLY | O_CLOEXEC));
    if (!lock.valid()) {
        return false;
    }
    // RouDi holds an exclusive lock; when a shared one can be taken, nobody does.
    const bool locked = ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0;
    if (!locked) {
        ::flock(lock.get(), LOCK_UN);
    }
    return locked;
}

std::string RouDiConfig(const std::vector<Mempool>& mempools) {
    std::string text = "[general]\nversion = 1\n[[segment]]\n";
    for (const Mempool& pool : mempools) {
        text += "[[segment.mempool]]\nsize = " + std::to_string(pool.size) +
                "\ncount = " + std::to_string(pool.count) + "\n";
    }
    return text;
}

SupportResult<RouDiProcess> RouDiProcess::Start(const std::string& binary, const std::string& config,
                                                const std::string& logFile, RouDiPolicy policy) {
    using Outcome = SupportResult<RouDiProcess>;
    if (RouDiIsRunning()) {
        if (policy == RouDiPolicy::kUseRunning) {
            return RouDiProcess();
        }
        return Outcome::FromError(MakeError(
            SupportErrc::kAlreadyRunning,
            "another RouDi is already running (it holds /tmp/iox-unique-roudi.lock); this test needs one of "
            "its "
            "own with its own mempools: stop the running one (make run, the demo) or run the test with a "
            "private /tmp and /dev/shm (unshare -m)"));
    }
    const auto path = FindExecutable(binary);
    if (!path) {
        return Outcome::FromError(
            MakeError(SupportErrc::kNotFound, "RouDi (" + binary +
                                                  ") was not found: install the Debian package iceoryx "
                                                  "(scripts/install-deps.sh) or start iox-roudi -c "
                                                  "config/roudi.toml yourself"));
    }
    if (::access(config.c_str(), R_OK) != 0) {
        return Outcome::FromError(
            MakeError(SupportErrc::kNotFound, "the RouDi configuration " + config + " cannot be read"));
    }
    auto spawned = ChildProcess::Spawn({path.Value(), "-c", config}, logFile.empty() ? "/dev/null" : logFile);
    if (!spawned) {
        return Outcome::FromError(spawned.Error());
    }
    ChildProcess process = std::move(spawned).Value();
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process.Running()) {
            return Outcome::FromError(
                MakeError(SupportErrc::kEndedEarly, "RouDi ended at start-up: " + FileTail(logFile, 600)));
        }
        if (RouDiIsRunning() && SocketExists()) {
            // The socket is bound a moment before RouDi accepts registrations.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return RouDiProcess(std::move(process));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Outcome::FromError(
        MakeError(SupportErrc::kTimeout, "RouDi did not start within 10 s: " + FileTail(logFile, 600)));
}

}  // namespace camera_test
