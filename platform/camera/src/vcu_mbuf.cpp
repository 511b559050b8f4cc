#include "vcu/vcu_mbuf.h"

#include <mutex>
#include <utility>

#include "frame_pool.h"
#include "service_log.h"

namespace vcu {

int VcuMbufSysInit() {
    // Frame buffers come from per-camera pools that CameraInit allocates; there is no process-wide state to
    // set up, so this only records that the application asked.
    static std::once_flag once;
    std::call_once(once,
                   [] { camera::internal::serviceLogger().LogDebug(ARA_LOG_HERE) << "buffer system ready"; });
    return 0;
}

VcuMbuf::VcuMbuf(std::string name) : name_(std::move(name)) {}

VcuMbuf::~VcuMbuf() {
    Reset();
}

VcuMbuf::VcuMbuf(const VcuMbuf& other) : name_(other.name_), pool_(other.pool_), slot_(other.slot_) {
    if (pool_) {
        pool_->retain(slot_);
    }
}

VcuMbuf& VcuMbuf::operator=(const VcuMbuf& other) {
    if (this != &other) {
        // Retain before releasing, so assigning a copy of the same buffer never frees it in between.
        if (other.pool_) {
            other.pool_->retain(other.slot_);
        }
        Reset();
        name_ = other.name_;
        pool_ = other.pool_;
        slot_ = other.slot_;
    }
    return *this;
}

VcuMbuf::VcuMbuf(VcuMbuf&& other) noexcept
    : name_(std::move(other.name_)), pool_(std::move(other.pool_)), slot_(other.slot_) {}

VcuMbuf& VcuMbuf::operator=(VcuMbuf&& other) noexcept {
    if (this != &other) {
        Reset();
        name_ = std::move(other.name_);
        pool_ = std::move(other.pool_);
        slot_ = other.slot_;
    }
    return *this;
}

bool VcuMbuf::GetBuffData(void*& data, unsigned long& size) const {
    if (!pool_) {
        return false;
    }
    data = pool_->data(slot_);
    size = pool_->bufferBytes();
    return true;
}

void VcuMbuf::Reset() noexcept {
    if (pool_) {
        pool_->release(slot_);
        pool_.reset();
    }
}

namespace internal {

void MbufBinding::adopt(VcuMbuf& mbuf, std::shared_ptr<FramePool> pool, std::uint32_t slot) noexcept {
    mbuf.Reset();
    mbuf.pool_ = std::move(pool);
    mbuf.slot_ = slot;
}

}  // namespace internal

}  // namespace vcu
