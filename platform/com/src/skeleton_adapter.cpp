#include "ara/com/internal/skeleton/skeleton_adapter.h"

#include <algorithm>

#include "ara/com/internal/skeleton/event/event_adapter_base.h"
#include "vrt/cm/utils/log_initializer.h"

namespace ara::com::internal::skeleton {

bool SkeletonHandle::IsOffered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return offered_;
}

void SkeletonHandle::Attach(event::EventAdapterBase* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

void SkeletonHandle::Detach(event::EventAdapterBase* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.erase(std::remove(events_.begin(), events_.end(), event), events_.end());
}

void SkeletonHandle::Offer() {
    std::lock_guard<std::mutex> lock(mutex_);
    offered_ = true;
    for (event::EventAdapterBase* event : events_) {
        event->OnOffer();
    }
}

void SkeletonHandle::StopOffer() {
    std::lock_guard<std::mutex> lock(mutex_);
    offered_ = false;
    for (event::EventAdapterBase* event : events_) {
        event->OnStopOffer();
    }
}

SkeletonAdapter::SkeletonAdapter(const vrt::cm::type::ServiceIdentifierType& service,
                                 const ara::core::InstanceSpecifier& instance,
                                 vrt::cm::type::MethodCallProcessingMode mode)
    : handle_(std::make_shared<SkeletonHandle>(service, instance)), mode_(mode) {}

SkeletonAdapter::~SkeletonAdapter() = default;

std::uint32_t SkeletonAdapter::GetMethodThreadNumber(std::uint32_t fallback) const noexcept {
    return methodThreadsSet_ ? methodThreads_ : fallback;
}

bool SkeletonAdapter::SetMethodThreadNumber(std::uint32_t number, std::uint32_t queueSize) noexcept {
    if (mode_ == vrt::cm::type::MethodCallProcessingMode::kPoll || handle_->IsOffered() ||
        number > kMaxMethodThreads || queueSize == 0U || queueSize > kMaxMethodQueueSize) {
        return false;
    }
    methodThreadsSet_ = true;
    methodThreads_ = number;
    methodQueueSize_ = queueSize;
    return true;
}

void SkeletonAdapter::RegisterE2EErrorHandler(vrt::cm::type::E2EErrorHandler handler) {
    std::lock_guard<std::mutex> lock(e2eMutex_);
    e2eHandler_ = std::move(handler);
}

void SkeletonAdapter::ReportE2EError(vrt::cm::type::E2EErrorCode code, std::vector<std::uint32_t> dataIds,
                                     std::uint32_t counter) const {
    vrt::cm::type::E2EErrorHandler handler;
    {
        std::lock_guard<std::mutex> lock(e2eMutex_);
        handler = e2eHandler_;
    }
    if (handler) {
        handler(code, std::move(dataIds), counter);
    }
}

void SkeletonAdapter::OfferService() {
    handle_->Offer();
    vrt::cm::utils::LogInitializer::GetLogger()->Get().LogInfo(ARA_LOG_HERE)
        << "[SkeletonAdapter][Offer service][service=" << handle_->Service().ToString()
        << ", instance=" << std::string(handle_->Instance().ToString()) << "]";
}

void SkeletonAdapter::StopOfferService() {
    if (!handle_->IsOffered()) {
        return;
    }
    handle_->StopOffer();
    vrt::cm::utils::LogInitializer::GetLogger()->Get().LogInfo(ARA_LOG_HERE)
        << "[SkeletonAdapter][Stop offer service][service=" << handle_->Service().ToString()
        << ", instance=" << std::string(handle_->Instance().ToString()) << "]";
}

}  // namespace ara::com::internal::skeleton
