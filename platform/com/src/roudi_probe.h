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

// Identifies the RouDi instance a process registered with by what a restarted RouDi never shares with the
// ended one: the process holding RouDi's lock (its pid and its start time, so that a reused pid is told
// apart), and RouDi's socket. The socket alone does not do: a restarted RouDi's socket may get the inode of
// the ended one's back (ext4 reuses a freed inode at once).
struct RouDiIdentity {
    pid_t pid{0};  // 0 when nobody holds the lock, or its holder is not visible (another pid namespace)
    unsigned long long startTicks{0};  // the holder's start time, /proc/<pid>/stat field 22
    dev_t socketDevice{0};
    ino_t socketInode{0};

    bool operator==(const RouDiIdentity& other) const {
        return pid == other.pid && startTicks == other.startTicks && socketDevice == other.socketDevice &&
               socketInode == other.socketInode;
    }
    bool operator!=(const RouDiIdentity& other) const { return !(*this == other); }
};

// The RouDi whose socket exists now; nothing when there is no socket. Takes no lock (it reads /proc/locks),
// so that it never stands in the way of a RouDi that starts up.
std::optional<RouDiIdentity> CurrentRouDiIdentity();

}  // namespace vrt::cm::shm
