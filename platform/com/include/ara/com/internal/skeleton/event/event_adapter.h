#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ara/com/internal/skeleton/event/event_adapter_base.h"
#include "ara/core/error_code.h"
#include "ara/core/result.h"
#include "vrt/cm/dds/dds_transport.h"
#include "vrt/cm/proloc/proloc_event_instance.h"
#include "vrt/cm/serialize/dp_raw_data_object.h"
#include "vrt/cm/serialize/vrt_object.h"
#include "vrt/cm/type/com_error_domain.h"
#include "vrt/common/serialize_config_checker.h"
#include "vrt/common/serializer.h"

namespace ara::com::internal::skeleton::event {

// One event of a provided service instance, carrying payloads of type T. Initialize once, on the thread
// that builds the skeleton; Send may then be called from any thread (sends of one event are serialized by
// its transports).
//
// A payload type with a shared-buffer block (GetMbufPtr) hands the sample's block, if any, to the middleware
// with every send, whether the event was initialized or not, and the middleware frees it exactly once: after
// the send, or when the last process-local client lets go of the sample, whichever is later. Process-local
// clients see the block itself; the shared-memory transport copies the block's bytes after the serialized
// fields, so that a subscriber in another process receives them (EventSubscriber puts them in a block of
// its own). The SOME/IP binding carries the serialized fields only: its wire format has no room for the
// block, so a SOME/IP subscriber receives the record without one. The DDS binding sends the record as its
// IDL type (vrt/cm/dds/dds_record_codec.h), which Cyclone serializes; records without one are not sent there.
template <typename T>
class EventAdapter : public EventAdapterBase {
  public:
    EventAdapter(std::shared_ptr<SkeletonHandle> skeleton, std::uint32_t entityId,
                 const vrt::cm::type::ServiceIdentifierType& service,
                 const ara::core::InstanceSpecifier& instance)
        : EventAdapterBase(std::move(skeleton), entityId, service, instance) {}

    // Binds the event to the transports its deployment gives it. Transports whose serialization
    // configuration is missing or does not fit T are dropped; with none left, or when a transport cannot be
    // set up, the result is kNetworkBindingFailure.
    ara::core::Result<void, ara::core::ErrorCode> Initialize() {
        using vrt::cm::type::ComErrc;
        using vrt::cm::type::DriverType;
        EventInfoTable table;
        const int status = InitializeEventInfo(table);
        if (status != 0) {
            return Failure(static_cast<ComErrc>(status));
        }
        for (auto it = table.begin(); it != table.end();) {
            if (it->first == DriverType::DDS) {
                // Cyclone serializes the record's IDL type: the record needs one, not a configuration.
                if (!vrt::cm::dds::kHasRecordCodec<T>) {
                    LogNoDdsType(it->second);
                    it = table.erase(it);
                } else {
                    ++it;
                }
                continue;
            }
            if (!it->second.serialization) {
                LogUnknownSerialization(it->second);
                it = table.erase(it);
                continue;
            }
            const auto check =
                vrt::common::SerializeConfigChecker::Check<T>(it->second.serialization->template For<T>());
            if (!check.IsSuccess()) {
                LogWrongSerialization(it->second, check);
                it = table.erase(it);
                continue;
            }
            ++it;
        }
        if (table.empty()) {
            return Failure(ComErrc::kNetworkBindingFailure);
        }
        PrintEventTable(table);
        for (const DriverType driver : {DriverType::SHM, DriverType::SOMEIP}) {
            if (auto entry = table.find(driver); entry != table.end()) {
                SerializerOf(driver).emplace(entry->second.serialization->template For<T>());
            }
        }
        if (!InitializeEvent(table, vrt::cm::dds::CodecOf<T>())) {
            shmSerializer_.reset();
            someipSerializer_.reset();
            return Failure(ComErrc::kNetworkBindingFailure);
        }
        for (const auto& entry : table) {
            LogCreateSuccess(entry.second);
        }
        std::lock_guard<std::mutex> lock(firstSendMutex_);
        if (auto proloc = table.find(DriverType::PROLOC); proloc != table.end()) {
            registry_ = vrt::cm::proloc::ProlocEventInstanceImpl<T>::GetInstance();
            memory_ = registry_->FindAndAddProlocEventMemory(IndexOf(proloc->second), false);
        } else {
            registry_.reset();
            memory_.reset();
        }
        firstSend_.store(false, std::memory_order_release);
        MarkInitialized();
        return {};
    }

    // A default-constructed payload to fill and send.
    std::unique_ptr<T> Allocate() const { return std::make_unique<T>(); }

    // Delivers the sample on every transport of the event; a null sample sends nothing. Failures are
    // logged, never reported to the caller. The sample's block, if any, belongs to the middleware from here.
    void Send(std::unique_ptr<T> sample) noexcept {
        if (!sample) {
            return;
        }
        CheckFirstSend();
        Deliver(*sample);
    }

    void Send(const T& sample) noexcept {
        CheckFirstSend();
        Deliver(sample);
    }

    // The event's process-local memory, once attached; null otherwise.
    std::shared_ptr<vrt::cm::proloc::ProlocEventMemoryImpl<T>> ProlocMemory() const {
        return firstSend_.load(std::memory_order_acquire) ? nullptr : memory_;
    }

  private:
    static ara::core::Result<void, ara::core::ErrorCode> Failure(vrt::cm::type::ComErrc code) {
        return ara::core::Result<void, ara::core::ErrorCode>(vrt::cm::type::MakeErrorCode(code));
    }

    // An event that was never initialized still reaches process-local clients: the deployment is asked once,
    // at the first send.
    void CheckFirstSend() {
        if (!firstSend_.load(std::memory_order_acquire)) {
            return;
        }
        std::lock_guard<std::mutex> lock(firstSendMutex_);
        if (!firstSend_.load(std::memory_order_relaxed)) {
            return;
        }
        vrt::cm::proloc::ProlocEntityIndex index;
        if (IsEnableEventProloc(index)) {
            registry_ = vrt::cm::proloc::ProlocEventInstanceImpl<T>::GetInstance();
            memory_ = registry_->FindAndAddProlocEventMemory(index, false);
        }
        firstSend_.store(false, std::memory_order_release);
    }

    // Wraps the sample for the send path, with the event's process-local memory as its data container,
    // hands it to every transport and then releases its data.
    void Deliver(const T& sample) {
        if constexpr (vrt::cm::serialize::kCarriesMbuf<T>) {
            vrt::cm::serialize::AraDpRawDataObject<T> object(sample, RawDataHandler(), memory_.get());
            Transmit(object, sample);
            object.ReleaseData();
        } else {
            vrt::cm::serialize::VrtObject<T> object(sample, memory_.get());
            Transmit(object, sample);
            object.ReleaseData();
        }
    }

    std::optional<vrt::common::Serializer<T>>& SerializerOf(vrt::cm::type::DriverType driver) {
        return driver == vrt::cm::type::DriverType::SHM ? shmSerializer_ : someipSerializer_;
    }

    template <typename Object>
    void Transmit(Object& object, const T& sample) {
        object.StoreToContainer();
        for (const auto driver : {vrt::cm::type::DriverType::SHM, vrt::cm::type::DriverType::SOMEIP}) {
            vrt::cm::EventTransportPublisher* publisher = Publisher(driver);
            auto& serializer = SerializerOf(driver);
            if (publisher != nullptr && serializer && publisher->IsOffered()) {
                TransmitOn(driver, *publisher, *serializer, object, sample);
            }
        }
        if constexpr (vrt::cm::dds::kHasRecordCodec<T>) {
            // Cyclone serializes the sample, pointing at the record's bytes.
            if (vrt::cm::dds::DdsEventPublisher* dds = DdsPublisher(); dds != nullptr) {
                dds->Write(&sample);
            }
        }
    }

    // Serializes the sample in the transport's configuration straight into the transport's buffer.
    template <typename Object>
    void TransmitOn(vrt::cm::type::DriverType driver, vrt::cm::EventTransportPublisher& publisher,
                    const vrt::common::Serializer<T>& serializer, Object& object, const T& sample) {
        const auto size = serializer.GetSize(sample);
        if (!size.HasValue()) {
            LogEncodeFailure(driver, size.Error());
            return;
        }
        if constexpr (Object::GetObjectType() == vrt::cm::serialize::ObjectType::kRawData) {
            // The fields are serialized once per transport, into the object's private data. Over shared
            // memory the chunk holds them and then the block's bytes, which the block itself cannot carry
            // across the process boundary.
            auto result = object.Serialize(serializer, nullptr, size.Value());
            if (result.IsSuccess()) {
                result = object.AttachToMessage();
            }
            if (!result.IsSuccess()) {
                LogEncodeFailure(driver, result);
                return;
            }
            const std::vector<std::uint8_t>& payload = object.GetPrivateData();
            const auto [block, blockBytes] = driver == vrt::cm::type::DriverType::SHM
                                                 ? BlockBytes(object.GetMbuf())
                                                 : std::pair<const std::uint8_t*, std::uint64_t>{nullptr, 0U};
            publisher.Send(
                payload.size() + blockBytes,
                [&payload, block = block](std::uint8_t* buffer, std::size_t bytes) {
                    std::memcpy(buffer, payload.data(), payload.size());
                    if (bytes > payload.size()) {
                        std::memcpy(buffer + payload.size(), block, bytes - payload.size());
                    }
                    return true;
                },
                blockBytes);
        } else {
            publisher.Send(size.Value(),
                           [this, driver, &serializer, &object](std::uint8_t* buffer, std::size_t bytes) {
                               const auto result = object.Serialize(serializer, buffer, bytes);
                               if (!result.IsSuccess()) {
                                   LogEncodeFailure(driver, result);
                               }
                               return result.IsSuccess();
                           });
        }
    }

    std::atomic<bool> firstSend_{true};
    std::mutex firstSendMutex_;
    std::shared_ptr<vrt::cm::proloc::ProlocEventInstanceImpl<T>> registry_;
    std::shared_ptr<vrt::cm::proloc::ProlocEventMemoryImpl<T>> memory_;
    std::optional<vrt::common::Serializer<T>> shmSerializer_;
    std::optional<vrt::common::Serializer<T>> someipSerializer_;
};

}  // namespace ara::com::internal::skeleton::event
