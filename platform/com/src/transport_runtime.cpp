#include "vrt/cm/transport_runtime.h"

#include <atomic>
#include <mutex>

#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm {

namespace {

struct RuntimeControls {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> abandoned{false};
    std::atomic<bool> lost{false};
    std::mutex mutex;  // guards handler
    TransportLossHandler handler;
};

RuntimeControls& Controls() {
    static RuntimeControls controls;
    return controls;
}

}  // namespace

void CancelStartupWaits() noexcept {
    Controls().cancelled.store(true, std::memory_order_release);
}

bool StartupWaitsCancelled() noexcept {
    return Controls().cancelled.load(std::memory_order_acquire);
}

bool StartupAbandoned() noexcept {
    return Controls().abandoned.load(std::memory_order_acquire);
}

void MarkStartupAbandoned() noexcept {
    Controls().abandoned.store(true, std::memory_order_release);
}

void SetTransportLossHandler(TransportLossHandler handler) {
    RuntimeControls& controls = Controls();
    std::lock_guard<std::mutex> lock(controls.mutex);
    controls.handler = std::move(handler);
}

void ReportTransportLoss(const std::string& reason) {
    RuntimeControls& controls = Controls();
    if (controls.lost.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    utils::LogInitializer::GetLogger()->Get().LogError(ARA_LOG_HERE)
        << "[Transport][Lost, samples sent from now on reach no subscriber] " << reason;
    TransportLossHandler handler;
    {
        std::lock_guard<std::mutex> lock(controls.mutex);
        handler = controls.handler;
    }
    if (handler) {
        handler(reason);
    }
}

bool TransportLost() noexcept {
    return Controls().lost.load(std::memory_order_acquire);
}

}  // namespace vrt::cm
