#include "vcu/os/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "vcu/os/files.h"
#include "vcu/os/unique_fd.h"

namespace vcu::os {

MappedFile::~MappedFile() {
    reset();
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void MappedFile::reset() noexcept {
    if (data_ != nullptr) {
        ::munmap(data_, size_);
        data_ = nullptr;
        size_ = 0;
    }
}

std::optional<MappedFile> MappedFile::map(const std::string& path, std::size_t bytes, std::string* problem) {
    // Checked before the open: opening a FIFO would block until a writer came.
    if (std::string why = RegularFileProblem(path); !why.empty()) {
        *problem = std::move(why);
        return std::nullopt;
    }
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        *problem = std::string("cannot open file: ") + std::strerror(errno);
        return std::nullopt;
    }
    // The size of what was opened, not of what the path names by now.
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        *problem = std::string("cannot read its size: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        *problem = "is not a regular file";
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(info.st_size) < bytes) {
        *problem = "holds " + std::to_string(info.st_size) + " bytes, fewer than " + std::to_string(bytes);
        return std::nullopt;
    }
    if (bytes == 0) {
        *problem = "nothing to map";
        return std::nullopt;
    }
    // Writable, so that a reader that writes does not fault; a write copies the page into the process's own
    // memory, as private mappings do. Not populated: that would copy every page at once.
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, file.get(), 0);
    if (data == MAP_FAILED) {
        *problem = std::string("cannot map it: ") + std::strerror(errno);
        return std::nullopt;
    }
    MappedFile mapped(data, bytes);
    ::madvise(data, bytes, MADV_WILLNEED);  // read ahead: it is about to be read through
    // Cut short while it was being mapped: reading the lost end would fault.
    if (::fstat(file.get(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) < bytes) {
        *problem = "became shorter while it was read";
        return std::nullopt;
    }
    return mapped;
}

void MappedFile::dropResident() const noexcept {
    if (data_ != nullptr) {
        ::madvise(data_, size_, MADV_DONTNEED);
    }
}

}  // namespace vcu::os
