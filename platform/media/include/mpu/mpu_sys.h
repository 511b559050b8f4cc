#pragma once

// Media system start-up and the epoll calls that wait for encoder descriptors.
//
// mpu_sys_init/mpu_sys_exit are reference-counted like the runtime's start-up: each user makes its own pair
// of calls; picture and encoder channels can be created while at least one mpu_sys_init is in force, and the
// last mpu_sys_exit destroys the channels that are left. The epoll calls are the operating system's epoll on
// descriptors such as mpu_venc_get_fd's. All calls are thread-safe.

#include <cstdint>

#include "mpu/mpu_common.h"

// Event masks and control operations; the values are those of Linux epoll.
enum mpu_sys_epoll_flag : std::uint32_t {
    MPU_SYS_EPOLL_IN = 0x001,   // readable
    MPU_SYS_EPOLL_OUT = 0x004,  // writable
    MPU_SYS_EPOLL_ERR = 0x008,
    MPU_SYS_EPOLL_HUP = 0x010,
};
enum mpu_sys_epoll_op : std::int32_t {
    MPU_SYS_EPOLL_CTL_ADD = 1,
    MPU_SYS_EPOLL_CTL_DEL = 2,
    MPU_SYS_EPOLL_CTL_MOD = 3,
};

// One registered or reported event: the mask and the caller's data, handed back unchanged.
struct mpu_sys_epoll_event {
    std::uint32_t events;
    void* data;
};

extern "C" {

std::int32_t mpu_sys_init();
std::int32_t mpu_sys_exit();

// Creates an epoll instance; `size` (> 0) is a hint of how many descriptors it will watch. `*epollFd`
// receives its descriptor, which stays owned by the media system until mpu_sys_close_epoll.
std::int32_t mpu_sys_create_epoll(std::int32_t size, std::int32_t* epollFd);

// Adds, changes or removes the watch of `fd` (operation MPU_SYS_EPOLL_CTL_*). `event` may be null for
// MPU_SYS_EPOLL_CTL_DEL only.
std::int32_t mpu_sys_ctl_epoll(std::int32_t epollFd, std::int32_t operation, std::int32_t fd,
                               mpu_sys_epoll_event* event);

// Waits up to `timeoutMs` (MPU_WAIT_FOREVER: no limit) for at most `maxEvents` events into `events`;
// `*eventCount` receives how many arrived, 0 when the time ran out (which is not an error).
std::int32_t mpu_sys_wait_epoll(std::int32_t epollFd, mpu_sys_epoll_event* events, std::int32_t maxEvents,
                                std::int32_t timeoutMs, std::int32_t* eventCount);

// Closes an epoll instance created by mpu_sys_create_epoll.
std::int32_t mpu_sys_close_epoll(std::int32_t epollFd);

}  // extern "C"
