#include "zem/ap/cameradrivingservice/cameradrivingservice_skeleton.h"

#include "vrt/cm/type/com_error_domain.h"

namespace zem::ap::cameradrivingservice::skeleton {

namespace {
const vrt::cm::type::ServiceIdentifierType kServiceIdentifier{CameraDrivingService::ServiceIdentifier};
constexpr std::uint32_t kMethodQueueSize = 1024U;
}  // namespace

CameraDrivingServiceSkeleton::CameraDrivingServiceSkeleton(const ara::core::InstanceSpecifier& instanceSpec,
                                                           vrt::cm::type::MethodCallProcessingMode mode)
    : skeletonAdapter_(std::make_unique<ara::com::internal::skeleton::SkeletonAdapter>(kServiceIdentifier,
                                                                                       instanceSpec, mode)),
      Cam2CamPerceptionEvent1(skeletonAdapter_->GetSkeleton(), kCam2CamPerceptionEvent1Id, kServiceIdentifier,
                              instanceSpec),
      Cam2CamPerceptionEvent2(skeletonAdapter_->GetSkeleton(), kCam2CamPerceptionEvent2Id, kServiceIdentifier,
                              instanceSpec),
      Cam2CamPerceptionEvent3(skeletonAdapter_->GetSkeleton(), kCam2CamPerceptionEvent3Id, kServiceIdentifier,
                              instanceSpec),
      Cam2CamPerceptionEvent4(skeletonAdapter_->GetSkeleton(), kCam2CamPerceptionEvent4Id, kServiceIdentifier,
                              instanceSpec) {
    ConstructSkeleton(mode);
}

CameraDrivingServiceSkeleton::~CameraDrivingServiceSkeleton() {
    StopOfferService();
}

void CameraDrivingServiceSkeleton::E2EErrorHandler(vrt::cm::type::E2EErrorCode /*errorCode*/,
                                                   std::vector<unsigned int> /*dataIds*/,
                                                   unsigned int /*counter*/) {}

void CameraDrivingServiceSkeleton::OfferService() {
    skeletonAdapter_->RegisterE2EErrorHandler(
        [this](vrt::cm::type::E2EErrorCode errorCode, std::vector<std::uint32_t> dataIds,
               std::uint32_t counter) { E2EErrorHandler(errorCode, std::move(dataIds), counter); });
    skeletonAdapter_->OfferService();
}

void CameraDrivingServiceSkeleton::StopOfferService() {
    skeletonAdapter_->StopOfferService();
}

void CameraDrivingServiceSkeleton::ConstructSkeleton(vrt::cm::type::MethodCallProcessingMode mode) {
    if (mode == vrt::cm::type::MethodCallProcessingMode::kEvent) {
        const std::uint32_t threads = skeletonAdapter_->GetMethodThreadNumber(0U);
        if (!skeletonAdapter_->SetMethodThreadNumber(threads, kMethodQueueSize)) {
            throw vrt::cm::type::ComException(
                vrt::cm::type::MakeErrorCode(vrt::cm::type::ComErrc::kNetworkBindingFailure));
        }
    }
    ThrowError(Cam2CamPerceptionEvent1.Initialize());
    ThrowError(Cam2CamPerceptionEvent2.Initialize());
    ThrowError(Cam2CamPerceptionEvent3.Initialize());
    ThrowError(Cam2CamPerceptionEvent4.Initialize());
}

void CameraDrivingServiceSkeleton::ThrowError(
    const ara::core::Result<void, ara::core::ErrorCode>& result) const {
    if (!result.HasValue()) {
        throw vrt::cm::type::ComException(result.Error());
    }
}

}  // namespace zem::ap::cameradrivingservice::skeleton
