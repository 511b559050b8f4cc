#include "interrupt_cleanup.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace camera_tools {
namespace {

// What the interrupt handler removes and stops: fixed arrays, since a handler may not allocate.
constexpr std::size_t kMaxPaths = 32;
constexpr std::size_t kPathLength = 512;
constexpr std::size_t kMaxChildren = 8;
// Signals that end the bench early: interrupted, terminated, its terminal or its output reader gone.
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

struct CleanupRegistry {
    char files[kMaxPaths][kPathLength];
    std::atomic<std::size_t> fileCount;
    char directories[kMaxPaths][kPathLength];
    std::atomic<std::size_t> directoryCount;
    std::atomic<pid_t> children[kMaxChildren];
};
CleanupRegistry registry;

void remember(char (&paths)[kMaxPaths][kPathLength], std::atomic<std::size_t>& count,
              const std::string& path) {
    const std::size_t slot = count.load();
    if (slot >= kMaxPaths || path.size() >= kPathLength) {
        return;  // only the interrupt clean-up misses it; the destructor still removes it
    }
    std::memcpy(paths[slot], path.c_str(), path.size() + 1);
    count.store(slot + 1);
}

extern "C" void onInterrupt(int /*signal*/) {
    for (auto& child : registry.children) {
        const pid_t pid = child.load();
        if (pid > 0) {
            kill(pid, SIGTERM);
        }
    }
    for (std::size_t i = 0; i < registry.fileCount.load(); ++i) {
        unlink(registry.files[i]);
    }
    // Deepest first: subdirectories were registered after their parent.
    for (std::size_t i = registry.directoryCount.load(); i > 0; --i) {
        rmdir(registry.directories[i - 1]);
    }
    static const char kMessage[] = "camera_bench: interrupted\n";
    const ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
    (void)ignored;
    _exit(130);
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    auto made = camera_test::TemporaryDirectory::Make("camera_bench.");
    if (made) {
        directory_ = std::move(made).Value();
        remember(registry.directories, registry.directoryCount, directory_.Path());
    }
}

std::string ScratchDirectory::file(const std::string& name) const {
    std::string full = directory_.File(name);
    remember(registry.files, registry.fileCount, full);
    return full;
}

std::string ScratchDirectory::subdirectory(const std::string& name) const {
    auto made = directory_.Subdirectory(name);
    if (!made) {
        return {};
    }
    remember(registry.directories, registry.directoryCount, made.Value());
    return made.Value();
}

void installInterruptCleanup() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : kInterruptSignals) {
        sigaction(signal, &action, nullptr);
    }
}

void removeInterruptCleanup() {
    for (const int interrupt : kInterruptSignals) {
        signal(interrupt, SIG_DFL);
    }
}

void registerChild(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    for (auto& child : registry.children) {
        pid_t empty = 0;
        if (child.compare_exchange_strong(empty, pid)) {
            return;
        }
    }
}

void unregisterChild(pid_t pid) {
    for (auto& child : registry.children) {
        pid_t expected = pid;
        child.compare_exchange_strong(expected, 0);
    }
}

}  // namespace camera_tools
