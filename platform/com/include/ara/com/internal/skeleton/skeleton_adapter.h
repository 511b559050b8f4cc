#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ara/core/instance_specifier.h"
#include "vrt/cm/type/e2e_error_code.h"
#include "vrt/cm/type/method_call_processing_mode.h"
#include "vrt/cm/type/service_identifier_type.h"

namespace ara::com::internal::skeleton {

namespace event {
class EventAdapterBase;
}

// The state one service instance shares with its events: which events it has and whether it is offered.
// Events attach themselves when built and detach when destroyed. Thread-safe.
class SkeletonHandle {
  public:
    SkeletonHandle(vrt::cm::type::ServiceIdentifierType service, ara::core::InstanceSpecifier instance)
        : service_(std::move(service)), instance_(std::move(instance)) {}
    SkeletonHandle(const SkeletonHandle&) = delete;
    SkeletonHandle& operator=(const SkeletonHandle&) = delete;

    const vrt::cm::type::ServiceIdentifierType& Service() const noexcept { return service_; }
    const ara::core::InstanceSpecifier& Instance() const noexcept { return instance_; }
    bool IsOffered() const;

    void Attach(event::EventAdapterBase* event);
    void Detach(event::EventAdapterBase* event);
    // Offers (stops offering) every attached event on its transports.
    void Offer();
    void StopOffer();

  private:
    vrt::cm::type::ServiceIdentifierType service_;
    ara::core::InstanceSpecifier instance_;
    mutable std::mutex mutex_;
    std::vector<event::EventAdapterBase*> events_;
    bool offered_{false};
};

// One provided service instance as the middleware sees it. Owned by the generated skeleton; its handle is
// shared with the skeleton's events. Not thread-safe apart from the handle.
class SkeletonAdapter {
  public:
    static constexpr std::uint32_t kMaxMethodThreads = 64U;
    static constexpr std::uint32_t kMaxMethodQueueSize = 65536U;

    SkeletonAdapter(const vrt::cm::type::ServiceIdentifierType& service,
                    const ara::core::InstanceSpecifier& instance,
                    vrt::cm::type::MethodCallProcessingMode mode);
    ~SkeletonAdapter();
    SkeletonAdapter(const SkeletonAdapter&) = delete;
    SkeletonAdapter& operator=(const SkeletonAdapter&) = delete;

    std::shared_ptr<SkeletonHandle> GetSkeleton() const noexcept { return handle_; }

    // The number of method threads set for this instance; `fallback` while none has been set.
    std::uint32_t GetMethodThreadNumber(std::uint32_t fallback) const noexcept;
    // Refused (false) in poll mode, once offered, for more than kMaxMethodThreads threads, or for a queue
    // size outside 1 to kMaxMethodQueueSize.
    bool SetMethodThreadNumber(std::uint32_t number, std::uint32_t queueSize) noexcept;
    std::uint32_t GetMethodQueueSize() const noexcept { return methodQueueSize_; }

    // The handler receives the instance's E2E error reports, on a middleware thread.
    void RegisterE2EErrorHandler(vrt::cm::type::E2EErrorHandler handler);
    // Hands a report to the registered handler, if any.
    void ReportE2EError(vrt::cm::type::E2EErrorCode code, std::vector<std::uint32_t> dataIds,
                        std::uint32_t counter) const;

    void OfferService();
    void StopOfferService();
    bool IsOffered() const { return handle_->IsOffered(); }

  private:
    std::shared_ptr<SkeletonHandle> handle_;
    vrt::cm::type::MethodCallProcessingMode mode_;
    bool methodThreadsSet_{false};
    std::uint32_t methodThreads_{0U};
    std::uint32_t methodQueueSize_{0U};
    mutable std::mutex e2eMutex_;
    vrt::cm::type::E2EErrorHandler e2eHandler_;
};

}  // namespace ara::com::internal::skeleton
