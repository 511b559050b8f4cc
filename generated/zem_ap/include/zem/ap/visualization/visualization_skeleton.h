#pragma once

#include <memory>
#include <vector>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "ara/core/instance_specifier.h"
#include "ara/core/result.h"
#include "impl_type_camerah265image.h"
#include "perception/impl_type_lidar2lidarperception.h"
#include "vrt/cm/type/e2e_error_code.h"
#include "vrt/cm/type/method_call_processing_mode.h"
#include "zem/ap/visualization/visualization_common.h"

namespace zem::ap::visualization::skeleton {

namespace events {
using CameraH265ImageEvent = ara::com::internal::skeleton::event::EventAdapter<CameraH265Image>;
using LiDAR2LiDARPerceptionEvent =
    ara::com::internal::skeleton::event::EventAdapter<perception::LiDAR2LiDARPerception>;
}  // namespace events

// The provided side of one visualization service instance. Construction initializes all seven events (the
// point-cloud ones are never sent but still need a deployment) and throws vrt::cm::type::ComException when
// one cannot be deployed; destruction stops the offer.
class VisualizationSkeleton {
  public:
    static constexpr std::uint32_t kCameraH265ImageEventId = 35045U;
    static constexpr std::uint32_t kLiDAR2LiDARPerceptionEvent1Id = 39353U;
    static constexpr std::uint32_t kLiDAR2LiDARPerceptionEvent2Id = 24796U;
    static constexpr std::uint32_t kLiDAR2LiDARPerceptionEvent3Id = 43181U;
    static constexpr std::uint32_t kLiDAR2LiDARPerceptionEvent4Id = 25020U;
    static constexpr std::uint32_t kLiDAR2LiDARPerceptionEvent5Id = 36987U;
    static constexpr std::uint32_t kLiDAR2LiDARPerceptionEvent6Id = 38317U;

    VisualizationSkeleton(const ara::core::InstanceSpecifier& instanceSpec,
                          vrt::cm::type::MethodCallProcessingMode mode);
    virtual ~VisualizationSkeleton();
    VisualizationSkeleton(const VisualizationSkeleton&) = delete;
    VisualizationSkeleton& operator=(const VisualizationSkeleton&) = delete;

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
    events::CameraH265ImageEvent CameraH265ImageEvent;
    events::LiDAR2LiDARPerceptionEvent LiDAR2LiDARPerceptionEvent1;
    events::LiDAR2LiDARPerceptionEvent LiDAR2LiDARPerceptionEvent2;
    events::LiDAR2LiDARPerceptionEvent LiDAR2LiDARPerceptionEvent3;
    events::LiDAR2LiDARPerceptionEvent LiDAR2LiDARPerceptionEvent4;
    events::LiDAR2LiDARPerceptionEvent LiDAR2LiDARPerceptionEvent5;
    events::LiDAR2LiDARPerceptionEvent LiDAR2LiDARPerceptionEvent6;
};

}  // namespace zem::ap::visualization::skeleton
