#include "zem/ap/visualization/visualization_skeleton.h"

#include "vrt/cm/type/com_error_domain.h"

namespace zem::ap::visualization::skeleton {

namespace {
const vrt::cm::type::ServiceIdentifierType kServiceIdentifier{Visualization::ServiceIdentifier};
constexpr std::uint32_t kMethodQueueSize = 1024U;
}  // namespace

VisualizationSkeleton::VisualizationSkeleton(const ara::core::InstanceSpecifier& instanceSpec,
                                             vrt::cm::type::MethodCallProcessingMode mode)
    : skeletonAdapter_(std::make_unique<ara::com::internal::skeleton::SkeletonAdapter>(kServiceIdentifier,
                                                                                       instanceSpec, mode)),
      CameraH265ImageEvent(skeletonAdapter_->GetSkeleton(), kCameraH265ImageEventId, kServiceIdentifier,
                           instanceSpec),
      LiDAR2LiDARPerceptionEvent1(skeletonAdapter_->GetSkeleton(), kLiDAR2LiDARPerceptionEvent1Id,
                                  kServiceIdentifier, instanceSpec),
      LiDAR2LiDARPerceptionEvent2(skeletonAdapter_->GetSkeleton(), kLiDAR2LiDARPerceptionEvent2Id,
                                  kServiceIdentifier, instanceSpec),
      LiDAR2LiDARPerceptionEvent3(skeletonAdapter_->GetSkeleton(), kLiDAR2LiDARPerceptionEvent3Id,
                                  kServiceIdentifier, instanceSpec),
      LiDAR2LiDARPerceptionEvent4(skeletonAdapter_->GetSkeleton(), kLiDAR2LiDARPerceptionEvent4Id,
                                  kServiceIdentifier, instanceSpec),
      LiDAR2LiDARPerceptionEvent5(skeletonAdapter_->GetSkeleton(), kLiDAR2LiDARPerceptionEvent5Id,
                                  kServiceIdentifier, instanceSpec),
      LiDAR2LiDARPerceptionEvent6(skeletonAdapter_->GetSkeleton(), kLiDAR2LiDARPerceptionEvent6Id,
                                  kServiceIdentifier, instanceSpec) {
    ConstructSkeleton(mode);
}

VisualizationSkeleton::~VisualizationSkeleton() {
    StopOfferService();
}

void VisualizationSkeleton::E2EErrorHandler(vrt::cm::type::E2EErrorCode /*errorCode*/,
                                            std::vector<unsigned int> /*dataIds*/, unsigned int /*counter*/) {
}

void VisualizationSkeleton::OfferService() {
    skeletonAdapter_->RegisterE2EErrorHandler(
        [this](vrt::cm::type::E2EErrorCode errorCode, std::vector<std::uint32_t> dataIds,
               std::uint32_t counter) { E2EErrorHandler(errorCode, std::move(dataIds), counter); });
    skeletonAdapter_->OfferService();
}

void VisualizationSkeleton::StopOfferService() {
    skeletonAdapter_->StopOfferService();
}

void VisualizationSkeleton::ConstructSkeleton(vrt::cm::type::MethodCallProcessingMode mode) {
    if (mode == vrt::cm::type::MethodCallProcessingMode::kEvent) {
        const std::uint32_t threads = skeletonAdapter_->GetMethodThreadNumber(0U);
        if (!skeletonAdapter_->SetMethodThreadNumber(threads, kMethodQueueSize)) {
            throw vrt::cm::type::ComException(
                vrt::cm::type::MakeErrorCode(vrt::cm::type::ComErrc::kNetworkBindingFailure));
        }
    }
    ThrowError(CameraH265ImageEvent.Initialize());
    ThrowError(LiDAR2LiDARPerceptionEvent1.Initialize());
    ThrowError(LiDAR2LiDARPerceptionEvent2.Initialize());
    ThrowError(LiDAR2LiDARPerceptionEvent3.Initialize());
    ThrowError(LiDAR2LiDARPerceptionEvent4.Initialize());
    ThrowError(LiDAR2LiDARPerceptionEvent5.Initialize());
    ThrowError(LiDAR2LiDARPerceptionEvent6.Initialize());
}

void VisualizationSkeleton::ThrowError(const ara::core::Result<void, ara::core::ErrorCode>& result) const {
    if (!result.HasValue()) {
        throw vrt::cm::type::ComException(result.Error());
    }
}

}  // namespace zem::ap::visualization::skeleton
