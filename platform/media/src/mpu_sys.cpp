#include "mpu/mpu_sys.h"

#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "api_entry.h"
#include "media_log.h"
#include "media_system.h"
#include "mpu/fault_injection.h"
#include "vcu/os/unique_fd.h"

namespace {

struct MediaSystem {
    std::mutex mutex;
    unsigned int initCount{0};
};

MediaSystem& SystemState() {
    static MediaSystem instance;
    return instance;
}

// Epoll instances made through the API: only these are accepted by ctl, wait and close. Each one's watched
// fds are kept too: a wait first lets an encoder channel among them encode its waiting frame on the waiting
// thread, which would otherwise only sleep until the encoder thread is done.
struct EpollRegistry {
    static constexpr std::size_t kMostWatched = 16;
    struct Watched {
        std::array<int, kMostWatched> fds{};
        std::size_t count{0};
    };

    std::mutex mutex;
    std::unordered_map<int, vcu::os::UniqueFd> instances;
    std::unordered_map<int, Watched> watched;

    bool contains(int fd) {
        std::lock_guard<std::mutex> lock(mutex);
        return instances.count(fd) != 0;
    }
};

EpollRegistry& EpollInstances() {
    static EpollRegistry instance;
    return instance;
}

static_assert(MPU_SYS_EPOLL_IN == static_cast<std::uint32_t>(EPOLLIN) &&
              MPU_SYS_EPOLL_OUT == static_cast<std::uint32_t>(EPOLLOUT) &&
              MPU_SYS_EPOLL_ERR == static_cast<std::uint32_t>(EPOLLERR) &&
              MPU_SYS_EPOLL_HUP == static_cast<std::uint32_t>(EPOLLHUP));
static_assert(MPU_SYS_EPOLL_CTL_ADD == EPOLL_CTL_ADD && MPU_SYS_EPOLL_CTL_DEL == EPOLL_CTL_DEL &&
              MPU_SYS_EPOLL_CTL_MOD == EPOLL_CTL_MOD);

using mpu::fault::Operation;
using mpu::internal::Guarded;
using mpu::internal::mediaLogger;

}  // namespace

namespace mpu::internal {

bool systemInitialized() {
    MediaSystem& system = SystemState();
    std::lock_guard<std::mutex> lock(system.mutex);
    return system.initCount > 0;
}

}  // namespace mpu::internal

extern "C" {

std::int32_t mpu_sys_init() {
    return Guarded(Operation::kSysInit, [&]() -> std::int32_t {
        MediaSystem& system = SystemState();
        std::lock_guard<std::mutex> lock(system.mutex);
        ++system.initCount;
        return MPU_OK;
    });
}

std::int32_t mpu_sys_exit() {
    return Guarded(Operation::kSysExit, [&]() -> std::int32_t {
        MediaSystem& system = SystemState();
        std::lock_guard<std::mutex> lock(system.mutex);
        if (system.initCount == 0) {
            return MPU_ERR_NOT_INITIALIZED;
        }
        if (--system.initCount == 0) {
            mpu::internal::destroyAllPictureChannels();
            mpu::internal::destroyAllEncoderChannels();
        }
        return MPU_OK;
    });
}

std::int32_t mpu_sys_create_epoll(std::int32_t size, std::int32_t* epollFd) {
    return Guarded(Operation::kCreateEpoll, epollFd, [&]() -> std::int32_t {
        if (size <= 0) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        vcu::os::UniqueFd instance(::epoll_create1(EPOLL_CLOEXEC));
        if (!instance.valid()) {
            const int error = errno;
            mediaLogger().LogError(ARA_LOG_HERE) << "epoll_create1 failed: " << std::strerror(error);
            return MPU_ERR_SYSTEM;
        }
        const int fd = instance.get();
        EpollRegistry& registry = EpollInstances();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.instances.emplace(fd, std::move(instance));
        *epollFd = fd;
        return MPU_OK;
    });
}

std::int32_t mpu_sys_ctl_epoll(std::int32_t epollFd, std::int32_t operation, std::int32_t fd,
                               mpu_sys_epoll_event* event) {
    return Guarded(Operation::kCtlEpoll, [&]() -> std::int32_t {
        if (operation != MPU_SYS_EPOLL_CTL_ADD && operation != MPU_SYS_EPOLL_CTL_DEL &&
            operation != MPU_SYS_EPOLL_CTL_MOD) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        if (event == nullptr && operation != MPU_SYS_EPOLL_CTL_DEL) {
            return MPU_ERR_NULL_PTR;
        }
        if (!EpollInstances().contains(epollFd)) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_sys_ctl_epoll: " << epollFd << " is not an epoll instance";
            return MPU_ERR_ILLEGAL_PARAM;
        }
        epoll_event osEvent{};
        if (event != nullptr) {
            osEvent.events = event->events;
            osEvent.data.ptr = event->data;
        }
        if (::epoll_ctl(epollFd, operation, fd, &osEvent) != 0) {
            const int error = errno;
            mediaLogger().LogError(ARA_LOG_HERE) << "epoll_ctl(" << epollFd << ", " << operation << ", " << fd
                                                 << ") failed: " << std::strerror(error);
            return error == EBADF || error == EEXIST || error == ENOENT || error == EPERM
                       ? MPU_ERR_ILLEGAL_PARAM
                       : MPU_ERR_SYSTEM;
        }
        EpollRegistry& registry = EpollInstances();
        std::lock_guard<std::mutex> lock(registry.mutex);
        EpollRegistry::Watched& watched = registry.watched[epollFd];
        int* const end = watched.fds.data() + watched.count;
        int* const found = std::find(watched.fds.data(), end, fd);
        if (operation == MPU_SYS_EPOLL_CTL_DEL && found != end) {
            *found = watched.fds[--watched.count];
        } else if (operation == MPU_SYS_EPOLL_CTL_ADD && found == end && watched.count < watched.fds.size()) {
            watched.fds[watched.count++] = fd;  // further fds are only waited for
        }
        return MPU_OK;
    });
}

std::int32_t mpu_sys_wait_epoll(std::int32_t epollFd, mpu_sys_epoll_event* events, std::int32_t maxEvents,
                                std::int32_t timeoutMs, std::int32_t* eventCount) {
    return Guarded(Operation::kWaitEpoll, [&]() -> std::int32_t {
        if (events == nullptr || eventCount == nullptr) {
            return MPU_ERR_NULL_PTR;
        }
        constexpr std::int32_t kMostEvents = 64;
        if (maxEvents <= 0 || maxEvents > kMostEvents || timeoutMs < MPU_WAIT_FOREVER) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        EpollRegistry::Watched watched;
        {
            EpollRegistry& registry = EpollInstances();
            std::lock_guard<std::mutex> lock(registry.mutex);
            if (registry.instances.count(epollFd) == 0) {
                return MPU_ERR_ILLEGAL_PARAM;
            }
            const auto entry = registry.watched.find(epollFd);
            if (entry != registry.watched.end() && timeoutMs != 0) {
                watched = entry->second;
            }
        }
        const mpu::internal::StreamWait streamWait(watched.fds.data(), watched.count);
        epoll_event osEvents[kMostEvents];
        int ready;
        do {
            ready = ::epoll_wait(epollFd, osEvents, maxEvents, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            const int error = errno;
            mediaLogger().LogError(ARA_LOG_HERE) << "epoll_wait failed: " << std::strerror(error);
            return MPU_ERR_SYSTEM;
        }
        for (int i = 0; i < ready; ++i) {
            events[i].events = osEvents[i].events;
            events[i].data = osEvents[i].data.ptr;
        }
        *eventCount = ready;
        return MPU_OK;
    });
}

std::int32_t mpu_sys_close_epoll(std::int32_t epollFd) {
    EpollRegistry& registry = EpollInstances();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.instances.erase(epollFd) == 0) {
        return MPU_ERR_ILLEGAL_PARAM;
    }
    registry.watched.erase(epollFd);
    return MPU_OK;
}

}  // extern "C"
