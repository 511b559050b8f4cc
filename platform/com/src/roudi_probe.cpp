#include "roudi_probe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

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

std::optional<SocketIdentity> RouDiSocketIdentity() {
    struct stat info {};
    if (::stat(kRouDiSocket, &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return std::nullopt;
    }
    return SocketIdentity{info.st_dev, info.st_ino};
}

}  // namespace vrt::cm::shm
