#include "camera_test/temporary_directory.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "camera_test/files.h"

namespace camera_test {

SupportResult<TemporaryDirectory> TemporaryDirectory::Make(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return SupportResult<TemporaryDirectory>::FromError(
            MakeError(SupportErrc::kIo, pattern + ": cannot create the directory: " + std::strerror(errno)));
    }
    TemporaryDirectory directory;
    directory.path_ = pattern;
    directory.owner_ = ::getpid();
    return directory;
}

TemporaryDirectory::~TemporaryDirectory() {
    Remove();
}

TemporaryDirectory::TemporaryDirectory(TemporaryDirectory&& other) noexcept
    : path_(std::exchange(other.path_, std::string())), owner_(other.owner_) {}

TemporaryDirectory& TemporaryDirectory::operator=(TemporaryDirectory&& other) noexcept {
    if (this != &other) {
        Remove();
        path_ = std::exchange(other.path_, std::string());
        owner_ = other.owner_;
    }
    return *this;
}

SupportResult<std::string> TemporaryDirectory::Subdirectory(const std::string& name) const {
    std::string full = File(name);
    if (::mkdir(full.c_str(), 0700) != 0) {
        return SupportResult<std::string>::FromError(
            MakeError(SupportErrc::kIo, full + ": cannot create the directory: " + std::strerror(errno)));
    }
    return full;
}

SupportResult<std::string> TemporaryDirectory::Write(const std::string& name,
                                                     const std::string& content) const {
    std::string full = File(name);
    auto written = WriteFile(full, content);
    if (!written) {
        return SupportResult<std::string>::FromError(written.Error());
    }
    return full;
}

void TemporaryDirectory::Remove() noexcept {
    if (!path_.empty() && ::getpid() == owner_) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    path_.clear();
}

}  // namespace camera_test
