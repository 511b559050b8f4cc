#include "roudi_probe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "vcu/os/unique_fd.h"

namespace vrt::cm::shm {

RouDiProbe ProbeRouDi() {
    RouDiProbe probe;
    const vcu::os::UniqueFd lock(::open(kRouDiLockFile, O_RDONLY | O_CLOEXEC));
    if (!lock.valid()) {
        if (errno == ENOENT) {
            return RouDiProbe{RouDiPresence::kAbsent, std::string(kRouDiLockFile) + " does not exist"};
        }
        return probe;  // e.g. another user's RouDi: the socket tells more
    }
    if (::flock(lock.get(), LOCK_SH | LOCK_NB) == 0) {
        ::flock(lock.get(), LOCK_UN);
        return RouDiProbe{RouDiPresence::kAbsent, std::string(kRouDiLockFile) + " is not locked"};
    }
    struct stat info {};
    if (::stat(kRouDiSocket, &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return RouDiProbe{RouDiPresence::kAbsent, std::string(kRouDiSocket) + " is not a socket"};
    }
    probe.presence = RouDiPresence::kRunning;
    return probe;
}

TransportResult<void> CheckRouDiSocket() {
    using R = TransportResult<void>;
    const vcu::os::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return {};
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kRouDiSocket, sizeof(address.sun_path) - 1);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        return {};
    }
    const int error = errno;
    if (error == EACCES || error == EPERM) {
        return R::FromError(TransportError{
            TransportErrorCode::kRouDiAccessRefused,
            std::string("access to RouDi's socket ") + kRouDiSocket + " refused (" + std::strerror(error) +
                "): RouDi runs as another user; run this process as RouDi's user or in its group"});
    }
    return R::FromError(TransportError{
        TransportErrorCode::kRouDiUnavailable,
        std::string("RouDi's socket ") + kRouDiSocket + " does not answer (" + std::strerror(error) + ")"});
}

namespace {

// The pid of the process holding the flock on the file (device, inode), from /proc/locks, whose lines read
// "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF" (major and minor in hexadecimal). Lines of waiters
// ("1: -> FLOCK ...") are skipped. Nothing when nobody holds it; 0 when the holder is in another pid
// namespace.
std::optional<pid_t> LockHolder(dev_t device, ino_t inode) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number;
        std::string type;
        std::string mode;
        std::string access;
        long pid = 0;
        std::string file;
        if (!(fields >> number >> type >> mode >> access >> pid >> file) || type != "FLOCK") {
            continue;
        }
        unsigned int major = 0;
        unsigned int minor = 0;
        unsigned long long fileInode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &fileInode) != 3) {
            continue;
        }
        if (makedev(major, minor) == device && fileInode == inode) {
            return static_cast<pid_t>(pid > 0 ? pid : 0);
        }
    }
    return std::nullopt;
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks since boot; 0 when unreadable.
unsigned long long StartTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The command name (field 2) may hold spaces and parentheses: count from its closing parenthesis.
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(end + 1));
    std::string field;
    for (int index = 3; index < 22 && fields >> field; ++index) {
    }
    unsigned long long ticks = 0;
    fields >> ticks;
    return ticks;
}

}  // namespace

std::optional<RouDiIdentity> CurrentRouDiIdentity() {
    struct stat socket {};
    if (::stat(kRouDiSocket, &socket) != 0 || !S_ISSOCK(socket.st_mode)) {
        return std::nullopt;
    }
    RouDiIdentity identity;
    identity.socketDevice = socket.st_dev;
    identity.socketInode = socket.st_ino;
    struct stat lock {};
    if (::stat(kRouDiLockFile, &lock) == 0) {
        identity.pid = LockHolder(lock.st_dev, lock.st_ino).value_or(0);
        identity.startTicks = identity.pid > 0 ? StartTicks(identity.pid) : 0;
    }
    return identity;
}

}  // namespace vrt::cm::shm
