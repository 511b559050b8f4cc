#pragma once

#include <chrono>
#include <thread>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "impl_type_camerah265image.h"

namespace vrt::cm::bench {

// The visualization image event of the benchmarks' publishing process, deployed by CM_CONFIG_FILE_PATH.
struct ImagePublisher {
    static constexpr std::uint32_t kEvent = 35045;

    ImagePublisher()
        : service("/kestrova/ap/Service/instance/Visualization"),
          skeleton(service, ara::core::InstanceSpecifier("bench/port"),
                   type::MethodCallProcessingMode::kEvent),
          event(skeleton.GetSkeleton(), kEvent, service, ara::core::InstanceSpecifier("bench/port")) {}

    // Initializes and offers the event and waits up to 10 s for a subscriber; false when initialization
    // fails.
    bool Start() {
        if (!event.Initialize().HasValue()) {
            return false;
        }
        skeleton.OfferService();
        for (int i = 0; i < 1000 && !event.HasRemoteSubscribers(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    type::ServiceIdentifierType service;
    ara::com::internal::skeleton::SkeletonAdapter skeleton;
    ara::com::internal::skeleton::event::EventAdapter<CameraH265Image> event;
};

}  // namespace vrt::cm::bench
