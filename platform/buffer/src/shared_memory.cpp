#include "shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "service_log.h"

namespace hal_buff {

std::optional<SharedMemory> SharedMemory::Create(const char* name, std::size_t size) noexcept {
    vcu::os::UniqueFd fd(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd.valid()) {
        const int error = errno;
        ServiceLogger().LogError(ARA_LOG_HERE)
            << "memfd_create(\"" << name << "\") failed: " << std::strerror(error);
        return std::nullopt;
    }
    // ftruncate only sets the size: the file stays a hole until written, so nothing is resident yet.
    if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
        const int error = errno;
        ServiceLogger().LogError(ARA_LOG_HERE) << "ftruncate of shared memory \"" << name << "\" to " << size
                                               << " bytes failed: " << std::strerror(error);
        return std::nullopt;
    }
    // Another process that receives the descriptor must not be able to shrink the file under our mapping,
    // which would turn our accesses into SIGBUS.
    if (fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        const int error = errno;
        ServiceLogger().LogError(ARA_LOG_HERE)
            << "sealing shared memory \"" << name << "\" failed: " << std::strerror(error);
        return std::nullopt;
    }
    void* const base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) {
        const int error = errno;
        ServiceLogger().LogError(ARA_LOG_HERE) << "mmap of shared memory \"" << name << "\" (" << size
                                               << " bytes) failed: " << std::strerror(error);
        return std::nullopt;
    }
    return SharedMemory(std::move(fd), static_cast<std::uint8_t*>(base), size);
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fd_(std::move(other.fd_)),
      base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = std::move(other.fd_);
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

SharedMemory::~SharedMemory() {
    Release();
}

void SharedMemory::Release() noexcept {
    if (base_ != nullptr) {
        munmap(base_, size_);
        base_ = nullptr;
    }
    fd_.reset();
    size_ = 0;
}

}  // namespace hal_buff
