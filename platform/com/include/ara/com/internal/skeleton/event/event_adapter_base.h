#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "ara/core/instance_specifier.h"
#include "vrt/cm/dds/dds_record_codec.h"
#include "vrt/cm/deployment/deployment_manifest.h"
#include "vrt/cm/proloc/proloc_entity_index.h"
#include "vrt/cm/transport/event_transport.h"
#include "vrt/cm/type/driver_type.h"
#include "vrt/cm/type/service_identifier_type.h"
#include "vrt/cm/utils/dp_adapter_handler.h"
#include "vrt/cm/utils/log_initializer.h"
#include "vrt/common/serialize/result.h"

namespace vrt::cm::dds {
class DdsEventPublisher;
}  // namespace vrt::cm::dds

namespace ara::com::internal::skeleton::event {

// What the deployment says about one event on one transport.
struct EventInfo {
    vrt::cm::type::DriverType driver{vrt::cm::type::DriverType::PROLOC};
    std::uint16_t serviceId{0};
    std::string instanceId;
    std::uint32_t entityId{0};
    std::string vlan;
    std::string serviceName;
    std::string shortName;
    std::string uuid;  // "<serviceId>-<instanceId>-<entityId>-<transport>"
    std::optional<vrt::cm::deployment::SerializationDescription> serialization;
    std::optional<vrt::cm::someip::NetworkDeployment> network;  // SOMEIP only
    std::optional<vrt::cm::dds::DdsDeployment> dds;             // DDS only
};

using EventInfoTable = std::map<vrt::cm::type::DriverType, EventInfo>;

// The type-independent half of an event adapter: the deployment look-up, the transport bindings and the
// logging of event initialization. Initialization runs on one thread before the event is sent on.
class EventAdapterBase {
  public:
    EventAdapterBase(const EventAdapterBase&) = delete;
    EventAdapterBase& operator=(const EventAdapterBase&) = delete;

    std::uint32_t EntityId() const noexcept { return entityId_; }
    bool IsInitialized() const noexcept { return initialized_.load(std::memory_order_acquire); }
    // The transports the event was initialized on, in table order.
    std::vector<vrt::cm::type::DriverType> Transports() const;

    // True while a subscriber in another process is connected to one of the event's inter-process transports
    // (shared memory, SOME/IP or DDS).
    bool HasRemoteSubscribers() const;

    // Shared-buffer blocks of sent samples that the buffer service refused to free (each one is logged).
    std::uint64_t FailedBlockFrees() const noexcept;

    // Called by the skeleton handle when the service instance is offered or withdrawn.
    void OnOffer();
    void OnStopOffer();

  protected:
    EventAdapterBase(std::shared_ptr<SkeletonHandle> skeleton, std::uint32_t entityId,
                     vrt::cm::type::ServiceIdentifierType service, ara::core::InstanceSpecifier instance);
    ~EventAdapterBase();

    // Fills the table from the deployment manifest; 0, or the ComErrc value to fail with.
    int InitializeEventInfo(EventInfoTable& table);
    void PrintEventTable(const EventInfoTable& table) const;
    // Creates the bindings of the table's transports; false when one cannot be made (logged). `ddsCodec` is
    // how the event's record type travels over DDS (needed when the table has a DDS transport).
    bool InitializeEvent(const EventInfoTable& table, const vrt::cm::dds::RecordCodec* ddsCodec = nullptr);
    // Whether the deployment gives the event a process-local transport, and the index of its memory.
    bool IsEnableEventProloc(vrt::cm::proloc::ProlocEntityIndex& index);

    void LogUnknownSerialization(const EventInfo& info) const;
    void LogNoDdsType(const EventInfo& info) const;
    void LogWrongSerialization(const EventInfo& info, const vrt::common::serialize::Result& result) const;
    void LogCreateSuccess(const EventInfo& info) const;
    void LogEncodeFailure(vrt::cm::type::DriverType driver,
                          const vrt::common::serialize::Result& result) const;

    static vrt::cm::proloc::ProlocEntityIndex IndexOf(const EventInfo& info);

    vrt::cm::utils::CmLogger& Log() const noexcept { return *log_; }
    // Frees the shared-buffer blocks of this event's sent samples; thread-safe, shared with the samples.
    const std::shared_ptr<vrt::cm::utils::DpAdapterHandler>& RawDataHandler() const noexcept {
        return rawDataHandler_;
    }
    // The event's publisher on a byte-oriented inter-process transport (SHM or SOMEIP); null when it has none
    // there.
    vrt::cm::EventTransportPublisher* Publisher(vrt::cm::type::DriverType driver) const noexcept;
    // The event's DDS binding; null when it has none.
    vrt::cm::dds::DdsEventPublisher* DdsPublisher() const noexcept;
    // The bytes a sample's block holds (its data length), to travel after the sample's fields over shared
    // memory; empty when there is no block or it cannot be read (logged).
    std::pair<const std::uint8_t*, std::uint64_t> BlockBytes(Mbuf* block) const;
    void MarkInitialized() noexcept { initialized_.store(true, std::memory_order_release); }

  private:
    std::shared_ptr<SkeletonHandle> skeleton_;
    std::uint32_t entityId_;
    vrt::cm::type::ServiceIdentifierType service_;
    ara::core::InstanceSpecifier instance_;
    std::shared_ptr<vrt::cm::utils::CmLogger> log_;
    std::shared_ptr<vrt::cm::utils::DpAdapterHandler> rawDataHandler_;
    std::atomic<bool> initialized_{false};
    mutable std::mutex bindingMutex_;
    std::map<vrt::cm::type::DriverType, std::unique_ptr<vrt::cm::EventTransportBinding>> publishers_;
    std::vector<vrt::cm::type::DriverType> transports_;
};

}  // namespace ara::com::internal::skeleton::event
