#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "vrt/cm/transport_error.h"

// What a process can learn about RouDi without talking to it: its lock file and its socket.
namespace vrt::cm::shm {

// RouDi holds an exclusive flock on this file while it runs (iceoryx_posh_types.hpp: ROUDI_LOCK_NAME, in
// the lock file directory of iceoryx_hoofs/platform/platform_settings.hpp).
constexpr const char kRouDiLockFile[] = "/tmp/iox-unique-roudi.lock";
constexpr const char kRouDiSocket[] = "/tmp/roudi";

enum class RouDiPresence { kRunning, kAbsent, kUnknown };

struct RouDiProbe {
    RouDiPresence presence{RouDiPresence::kUnknown};
    std::string reason;  // why RouDi is taken as absent
};

RouDiProbe ProbeRouDi();

// Whether this process may talk to RouDi's socket; the error says why not. RouDi's socket is a datagram
// socket; connecting to it needs write access to the socket file, which another user's RouDi denies.
// iceoryx itself would only say "RouDi not found - waiting ..." for ever.
TransportResult<void> CheckRouDiSocket();

// Identifies the RouDi instance a process registered with: a restarted RouDi binds a new socket.
struct SocketIdentity {
    dev_t device{0};
    ino_t inode{0};
    bool operator==(const SocketIdentity& other) const {
        return device == other.device && inode == other.inode;
    }
};

std::optional<SocketIdentity> RouDiSocketIdentity();

}  // namespace vrt::cm::shm
