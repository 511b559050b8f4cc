#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ara::log::internal {

void WriteAll(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void LogFile::Open(std::string path) {
    file_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!file_.valid()) {
        std::fprintf(stderr, "ara::log: cannot open log file \"%s\": %s\n", path.c_str(),
                     std::strerror(errno));
    }
    struct stat info {};
    if (file_.valid() && ::fstat(file_.get(), &info) == 0) {
        bytes_ = static_cast<std::uint64_t>(info.st_size);
    }
    path_ = std::move(path);
    fd_ = file_.get();
}

void LogFile::Write(const char* data, std::size_t size) noexcept {
    WriteAll(fd_.load(std::memory_order_relaxed), data, size);
    const std::uint64_t total = bytes_.fetch_add(size, std::memory_order_relaxed) + size;
    if (rotation_.maxBytes > 0 && total >= rotation_.maxBytes) {
        // Normally one writer rotates while the others go on writing to the old file; past twice the
        // limit (the rotating thread was preempted) they wait for it, so that no file grows without bound.
        Rotate(total >= 2 * rotation_.maxBytes);
    }
}

// The new file takes the old one's descriptor number (dup3), so that writers never see a closed or reused
// descriptor and the write path takes no lock; a line written while the files move lands in one of them.
void LogFile::Rotate(bool wait) noexcept {
    std::unique_lock<std::mutex> lock(rotateMutex_, std::defer_lock);
    if (wait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return;
    }
    if (bytes_.load(std::memory_order_relaxed) < rotation_.maxBytes) {
        return;
    }
    const auto numbered = [this](unsigned n) { return path_ + "." + std::to_string(n); };
    if (rotation_.keep == 0) {
        ::unlink(path_.c_str());
    } else {
        for (unsigned n = rotation_.keep; n > 1; --n) {
            ::rename(numbered(n - 1).c_str(), numbered(n).c_str());
        }
        ::rename(path_.c_str(), numbered(1).c_str());
    }
    const vcu::os::UniqueFd fresh(
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (fresh.valid()) {
        ::dup3(fresh.get(), fd_.load(std::memory_order_relaxed), O_CLOEXEC);
    }
    // Without a new file, writing goes on to the one that was renamed rather than lose the lines.
    bytes_ = 0;
}

}  // namespace ara::log::internal
