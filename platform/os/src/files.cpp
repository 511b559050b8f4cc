#include "vcu/os/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vcu::os {

bool OpenStandardDescriptors() noexcept {
    bool ok = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lower descriptors are open by now, so open() hands out exactly this number.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0) {
                ::close(opened);
            }
            ok = false;
        }
    }
    return ok;
}

std::string RegularFileProblem(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::string("cannot open file: ") + std::strerror(errno);
    }
    if (S_ISREG(info.st_mode)) {
        return {};
    }
    const char* kind = S_ISFIFO(info.st_mode)   ? "a FIFO"
                       : S_ISDIR(info.st_mode)  ? "a directory"
                       : S_ISCHR(info.st_mode)  ? "a character device"
                       : S_ISBLK(info.st_mode)  ? "a block device"
                       : S_ISSOCK(info.st_mode) ? "a socket"
                                                : "not a plain file";
    return std::string("is ") + kind + ", not a regular file";
}

}  // namespace vcu::os
