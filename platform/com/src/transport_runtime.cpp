#include "vrt/cm/transport_runtime.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm {

namespace {

struct RuntimeControls {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> abandoned{false};
    std::atomic<bool> reported{false};
    std::atomic<bool> lost{false};
    std::mutex mutex;  // guards handler, calls and caller
    std::condition_variable idle;
    TransportLossHandler handler;
    // A handler call in progress, and the thread that makes it: replacing the handler waits for the call,
    // because the caller of SetTransportLossHandler may destroy what the old handler uses once it returns.
    int calls{0};
    std::thread::id caller;
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
    std::unique_lock<std::mutex> lock(controls.mutex);
    // The handler itself may clear or replace itself; it must not wait for its own end.
    controls.idle.wait(
        lock, [&controls] { return controls.calls == 0 || controls.caller == std::this_thread::get_id(); });
    std::swap(controls.handler, handler);
    lock.unlock();
    // The old handler is destroyed here, outside the lock: what it holds may report a loss itself.
}

void ReportTransportLoss(const std::string& reason) {
    RuntimeControls& controls = Controls();
    if (controls.reported.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    utils::LogInitializer::GetLogger()->Get().LogError(ARA_LOG_HERE)
        << "[Transport][Lost, samples sent from now on reach no subscriber] " << reason;
    // Only now: a process that ends as soon as it sees the loss must not cut the line short.
    controls.lost.store(true, std::memory_order_release);
    std::optional<TransportLossHandler> handler;
    {
        std::lock_guard<std::mutex> lock(controls.mutex);
        if (!controls.handler) {
            return;
        }
        handler.emplace(controls.handler);
        ++controls.calls;
        controls.caller = std::this_thread::get_id();
    }
    // Ends the call even if the handler throws, so that nobody waits for it for ever.
    struct CallEnd {
        RuntimeControls& controls;
        std::optional<TransportLossHandler>& handler;
        ~CallEnd() {
            handler.reset();  // its copy of what it captured goes before anyone is told the call ended
            std::lock_guard<std::mutex> lock(controls.mutex);
            --controls.calls;
            controls.caller = std::thread::id();
            controls.idle.notify_all();
        }
    } end{controls, handler};
    (*handler)(reason);
}

bool TransportLost() noexcept {
    return Controls().lost.load(std::memory_order_acquire);
}

}  // namespace vrt::cm
