#pragma once

#include <memory>
#include <vector>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "ara/core/instance_specifier.h"
#include "ara/core/result.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "vrt/cm/type/e2e_error_code.h"
#include "vrt/cm/type/method_call_processing_mode.h"
#include "zem/ap/cameradrivingservice/cameradrivingservice_common.h"

namespace zem::ap::cameradrivingservice::skeleton {

namespace events {
using Cam2CamPerceptionEvent1 =
    ara::com::internal::skeleton::event::EventAdapter<perception::Cam2CamPerceptionStruct>;
using Cam2CamPerceptionEvent2 =
    ara::com::internal::skeleton::event::EventAdapter<perception::Cam2CamPerceptionStruct>;
using Cam2CamPerceptionEvent3 =
    ara::com::internal::skeleton::event::EventAdapter<perception::Cam2CamPerceptionStruct>;
using Cam2CamPerceptionEvent4 =
    ara::com::internal::skeleton::event::EventAdapter<perception::Cam2CamPerceptionStruct>;
}  // namespace events

// The provided side of one camera driving service instance. Construction initializes every event and
// throws vrt::cm::type::ComException when one cannot be deployed; destruction stops the offer.
class CameraDrivingServiceSkeleton {
  public:
    static constexpr std::uint32_t kCam2CamPerceptionEvent1Id = 30182U;
    static constexpr std::uint32_t kCam2CamPerceptionEvent2Id = 28892U;
    static constexpr std::uint32_t kCam2CamPerceptionEvent3Id = 5485U;
    static constexpr std::uint32_t kCam2CamPerceptionEvent4Id = 50588U;

    CameraDrivingServiceSkeleton(const ara::core::InstanceSpecifier& instanceSpec,
                                 vrt::cm::type::MethodCallProcessingMode mode);
    virtual ~CameraDrivingServiceSkeleton();
    CameraDrivingServiceSkeleton(const CameraDrivingServiceSkeleton&) = delete;
    CameraDrivingServiceSkeleton& operator=(const CameraDrivingServiceSkeleton&) = delete;

    // E2E reports of the instance; they need no reaction here.
    virtual void E2EErrorHandler(vrt::cm::type::E2EErrorCode errorCode, std::vector<unsigned int> dataIds,
                                 unsigned int counter);

    void OfferService();
    void StopOfferService();
    void ConstructSkeleton(vrt::cm::type::MethodCallProcessingMode mode);
    void ThrowError(const ara::core::Result<void, ara::core::ErrorCode>& result) const;

  private:
    std::unique_ptr<ara::com::internal::skeleton::SkeletonAdapter> skeletonAdapter_;

  public:
    events::Cam2CamPerceptionEvent1 Cam2CamPerceptionEvent1;
    events::Cam2CamPerceptionEvent2 Cam2CamPerceptionEvent2;
    events::Cam2CamPerceptionEvent3 Cam2CamPerceptionEvent3;
    events::Cam2CamPerceptionEvent4 Cam2CamPerceptionEvent4;
};

}  // namespace zem::ap::cameradrivingservice::skeleton
