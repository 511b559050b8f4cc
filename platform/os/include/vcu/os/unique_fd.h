#pragma once

#include <unistd.h>

#include <utility>

namespace vcu::os {

// Owns one operating-system descriptor (file, socket, epoll, eventfd, device) and closes it exactly once.
// Move-only; a moved-from or default-constructed owner holds -1 and closes nothing.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

    // Closes the descriptor held, if any, and takes `fd` instead.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) {
            ::close(old);
        }
    }

    // Gives up ownership without closing; the caller closes the returned descriptor.
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_{-1};
};

}  // namespace vcu::os
