#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "impl_type_camerah265image.h"
#include "vrt/cm/event_subscriber.h"

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

// The image event's subscriber over `transport` (a queue of 256); null, the reason on stderr, when it cannot
// be made.
inline std::unique_ptr<EventSubscriber<CameraH265Image>> SubscribeImages(type::DriverType transport) {
    EventSubscriber<CameraH265Image>::Options options;
    options.queueCapacity = 256;
    options.transport = transport;
    auto created = EventSubscriber<CameraH265Image>::Create(ImagePublisher::kEvent, options);
    if (!created.HasValue()) {
        std::fprintf(stderr, "subscriber: %s\n", created.Error().message.c_str());
        return nullptr;
    }
    return std::move(created).Value();
}

}  // namespace vrt::cm::bench
