#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "vcu/os/unique_fd.h"

namespace ara::log::internal {

// How the log file is kept within bounds: ARA_LOG_FILE_MAX_BYTES (default 16M; 0: no limit) and
// ARA_LOG_FILE_KEEP (earlier files kept, default 3). When the file reaches the limit it becomes
// "<file>.1", the earlier ones move up ("<file>.1" to "<file>.2", ...), the oldest beyond the count is
// removed, and a new file is started. A file may exceed the limit by what other threads write while one of
// them rotates, at most by the limit again.
struct FileRotation {
    static constexpr std::uint64_t kDefaultMaxBytes = 16ULL * 1024 * 1024;
    static constexpr unsigned kDefaultKeep = 3;
    std::uint64_t maxBytes{kDefaultMaxBytes};
    unsigned keep{kDefaultKeep};
};

// Writes all of `data` to `fd`, going on after interruptions; gives up silently on any other error.
void WriteAll(int fd, const char* data, std::size_t size) noexcept;

// The log file of file mode, rotated by size. Open once, before any Write; Write may then be called from
// any thread without a lock.
class LogFile {
  public:
    void SetRotation(FileRotation rotation) noexcept { rotation_ = rotation; }

    // Opens (appends to) `path`; reports on standard error when it cannot.
    void Open(std::string path);
    bool IsOpen() const noexcept { return fd_.load(std::memory_order_relaxed) >= 0; }

    // Appends one whole line; rotates when the file has reached its limit.
    void Write(const char* data, std::size_t size) noexcept;

  private:
    void Rotate(bool wait) noexcept;

    vcu::os::UniqueFd file_;
    std::atomic<int> fd_{-1};  // file_'s number, read by writers without a lock
    std::string path_;
    FileRotation rotation_;
    std::atomic<std::uint64_t> bytes_{0};
    std::mutex rotateMutex_;
};

}  // namespace ara::log::internal
