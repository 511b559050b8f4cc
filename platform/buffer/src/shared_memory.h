#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "vcu/os/unique_fd.h"

namespace hal_buff {

// A memfd and its read-write shared mapping, owned together: the only place that holds the raw descriptor
// and address. Move-only; destruction unmaps and closes.
class SharedMemory {
  public:
    // Creates `size` bytes of shared memory named `name` (the name shows in /proc/<pid>/fd and maps).
    // The pages are reserved, not touched: they are backed only when first written. Failures are logged with
    // the system error and give no value.
    static std::optional<SharedMemory> Create(const char* name, std::size_t size) noexcept;

    SharedMemory(SharedMemory&& other) noexcept;
    SharedMemory& operator=(SharedMemory&& other) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();

    int Fd() const noexcept { return fd_.get(); }
    std::uint8_t* Base() const noexcept { return base_; }
    std::size_t Size() const noexcept { return size_; }

  private:
    SharedMemory(vcu::os::UniqueFd fd, std::uint8_t* base, std::size_t size) noexcept
        : fd_(std::move(fd)), base_(base), size_(size) {}
    void Release() noexcept;

    vcu::os::UniqueFd fd_;
    std::uint8_t* base_{nullptr};
    std::size_t size_{0};
};

}  // namespace hal_buff
