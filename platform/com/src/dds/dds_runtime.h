#pragma once

#include <dds/dds.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vrt/cm/dds/dds_deployment.h"
#include "vrt/cm/dds/dds_transport.h"
#include "vrt/cm/transport_error.h"
#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm::dds {

// Owns one Cyclone entity handle (participant, topic, reader, writer, domain) and deletes it with its
// children.
class EntityHandle {
  public:
    EntityHandle() noexcept = default;
    explicit EntityHandle(dds_entity_t handle) noexcept : handle_(handle) {}
    ~EntityHandle() { Reset(); }
    EntityHandle(EntityHandle&& other) noexcept : handle_(other.Release()) {}
    EntityHandle& operator=(EntityHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    EntityHandle(const EntityHandle&) = delete;
    EntityHandle& operator=(const EntityHandle&) = delete;

    dds_entity_t Get() const noexcept { return handle_; }
    bool Valid() const noexcept { return handle_ > 0; }
    dds_entity_t Release() noexcept {
        const dds_entity_t handle = handle_;
        handle_ = 0;
        return handle;
    }
    void Reset(dds_entity_t handle = 0) noexcept {
        if (handle_ > 0) {
            (void)dds_delete(handle_);
        }
        handle_ = handle;
    }

  private:
    dds_entity_t handle_{0};
};

// Owns a QoS object.
struct QosDeleter {
    void operator()(dds_qos_t* qos) const noexcept { dds_delete_qos(qos); }
};
using QosPtr = std::unique_ptr<dds_qos_t, QosDeleter>;

// Owns a listener.
struct ListenerDeleter {
    void operator()(dds_listener_t* listener) const noexcept { dds_delete_listener(listener); }
};
using ListenerPtr = std::unique_ptr<dds_listener_t, ListenerDeleter>;

// The writer and reader QoS of a deployment: its profile's reliability, history and blocking time, volatile,
// XCDR1 (as ROS 2's DDS layers write).
QosPtr EndpointQos(const DdsDeployment& deployment, bool writer);

// The process's participant in one domain, made on first use and shared by the events deployed on the
// domain; the domain goes when the last user lets go. Cyclone's log lines go to the middleware's log, and
// two things only it sees are counted per topic for whoever watches the topic: samples it could not
// deserialize (they never reach a reader) and endpoints of other participants that use the topic's name
// with another type.
class DomainParticipant {
  public:
    // The participant of `deployment`'s domain. Refused when the domain already runs here with another
    // configuration, or when Cyclone refuses the configuration (the error names the file).
    static TransportResult<std::shared_ptr<DomainParticipant>> Acquire(const DdsDeployment& deployment);
    ~DomainParticipant();
    DomainParticipant(const DomainParticipant&) = delete;
    DomainParticipant& operator=(const DomainParticipant&) = delete;

    dds_entity_t Handle() const noexcept { return participant_.Get(); }
    std::uint32_t DomainId() const noexcept { return deployment_.domainId; }

    // Counts into `counters` (foreignType, malformed) for `topic` until Unwatch; `counters` must outlive the
    // watch.
    void Watch(const std::string& topic, const std::string& typeName, DdsCounters* counters);
    void Unwatch(const DdsCounters* counters);

  private:
    DomainParticipant(DdsDeployment deployment, EntityHandle domain, EntityHandle participant);
    bool StartDiscoveryWatch();
    static void OnEndpoint(dds_entity_t reader, void* self);

    DdsDeployment deployment_;
    EntityHandle domain_;  // only when made with an explicit configuration
    EntityHandle participant_;
    EntityHandle publications_;
    EntityHandle subscriptions_;
};

// The process-wide middleware logger.
utils::CmLogger& DdsLog();

// CLOCK_MONOTONIC of a CLOCK_REALTIME stamp taken on this host (Cyclone's source time stamps).
std::int64_t MonotonicOfRealtime(dds_time_t realtime) noexcept;

// The names of a publisher's or receiver's topics, in their order.
template <typename Topics>
std::vector<std::string> TopicNamesOf(const Topics& topics) {
    std::vector<std::string> names;
    for (const auto& topic : topics) {
        names.push_back(topic->name);
    }
    return names;
}

}  // namespace vrt::cm::dds
