#pragma once

#include <string>

#include "com_test_support.h"
#include "vrt/cm/proloc/proloc_event_instance.h"

namespace camera_driving::test {

using vrt::cm::test::ScopedManifest;

// A deployment of all eleven events of the two services, process-local only, so that no RouDi is needed.
// `override` replaces the transports of one event.
inline std::string ProlocManifest(std::uint32_t overriddenEvent = 0, const std::string& transports = "") {
    struct Event {
        std::uint32_t id;
        const char* name;
        std::uint16_t service;
    };
    const Event events[] = {
        {35045, "CameraH265ImageEvent", 4097},        {39353, "LiDAR2LiDARPerceptionEvent1", 4097},
        {24796, "LiDAR2LiDARPerceptionEvent2", 4097}, {43181, "LiDAR2LiDARPerceptionEvent3", 4097},
        {25020, "LiDAR2LiDARPerceptionEvent4", 4097}, {36987, "LiDAR2LiDARPerceptionEvent5", 4097},
        {38317, "LiDAR2LiDARPerceptionEvent6", 4097}, {30182, "Cam2CamPerceptionEvent1", 4098},
        {28892, "Cam2CamPerceptionEvent2", 4098},     {5485, "Cam2CamPerceptionEvent3", 4098},
        {50588, "Cam2CamPerceptionEvent4", 4098}};
    std::string entries;
    for (const Event& event : events) {
        entries += entries.empty() ? "" : ",";
        entries += vrt::cm::test::EventEntry(
            event.id, event.name, event.id == overriddenEvent ? transports : vrt::cm::test::ProlocOnly(),
            event.service);
    }
    return vrt::cm::test::Manifest(entries);
}

constexpr unsigned long kClient = 1;

// A client of one event's process-local memory, as an in-process subscriber would be.
template <typename T>
std::shared_ptr<vrt::cm::proloc::ProlocEventMemoryImpl<T>> Subscribe(std::uint16_t serviceId,
                                                                     std::uint32_t entityId) {
    vrt::cm::proloc::ProlocEntityIndex index;
    index.serviceId = serviceId;
    index.instanceId = "1";
    index.entityId = entityId;
    auto memory = vrt::cm::proloc::ProlocEventInstanceImpl<T>::GetInstance()->GetProlocEventMemory(index);
    if (memory) {
        memory->UnSubscribeClient(kClient);
        memory->EnableEventClient(kClient, 16, nullptr);
    }
    return memory;
}

}  // namespace camera_driving::test
