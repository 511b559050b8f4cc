#include "vcu/visual/header.h"

#include <sys/time.h>

#include <atomic>

namespace vcu::visual {

Times Times::now() {
    timeval now{};
    gettimeofday(&now, nullptr);
    Times stamp;
    stamp.sec = static_cast<std::uint32_t>(now.tv_sec);
    stamp.nsec = static_cast<std::uint32_t>(now.tv_usec * 1000);
    return stamp;
}

Header::Header() : stamp(Times::now()) {
    // Atomic so that headers built on several threads still get distinct, consecutive numbers.
    static std::atomic<std::uint32_t> seqCounter{0};
    seq = seqCounter.fetch_add(1, std::memory_order_relaxed) + 1U;
}

}  // namespace vcu::visual
