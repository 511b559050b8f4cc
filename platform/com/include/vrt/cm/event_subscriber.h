#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "ara/core/result.h"
#include "hal_buff/hal_buff.h"
#include "vrt/cm/dds/dds_transport.h"
#include "vrt/cm/deployment/deployment_manifest.h"
#include "vrt/cm/serialize/dp_raw_data_object.h"
#include "vrt/cm/shm/shm_transport.h"
#include "vrt/cm/someip/someip_transport.h"
#include "vrt/cm/transport_error.h"
#include "vrt/common/deserializer.h"

namespace vrt::cm {

// Receives one event over an inter-process transport (shared memory, SOME/IP or DDS), decoded into records of
// type T; for tools and tests in other processes than the publisher. Samples queue up to the capacity given
// at creation; when the subscriber falls behind, the oldest are lost (counted by MissedSamples) and the
// publisher never waits. Either poll (TryReceive, WaitForData) or start a receiving thread (StartReceiving),
// not both.
//
// A record type with a shared-buffer block (GetMbufPtr) receives the sender's block bytes (shared memory and
// DDS) in a block of Options::blockPool, which the caller then owns (halMbufFree); without a pool, or when
// the pool has no free block large enough, the record comes without one and BlocksDropped counts it.
template <typename T>
class EventSubscriber {
  public:
    struct Options {
        std::uint64_t queueCapacity{16U};
        PoolHandle blockPool{nullptr};                      // not owned; must outlive the subscriber
        type::DriverType transport{type::DriverType::SHM};  // SHM, SOMEIP or DDS
    };

    using Handler = std::function<void(const T& record, const SampleHeader& header)>;

    // Connects by service id, instance id and event entity id, decoding with `config`.
    static TransportResult<std::unique_ptr<EventSubscriber>> Create(std::uint16_t serviceId,
                                                                    const std::string& instanceId,
                                                                    std::uint32_t entityId,
                                                                    common::TransportSerializeConfig config,
                                                                    Options options) {
        using R = TransportResult<std::unique_ptr<EventSubscriber>>;
        auto connected = shm::ShmRuntime::Connect();
        if (!connected.HasValue()) {
            return R::FromError(connected.Error());
        }
        auto receiver = shm::ShmEventReceiver::Create(
            shm::ShmAddress::ForEvent(serviceId, instanceId, entityId), options.queueCapacity);
        if (!receiver.HasValue()) {
            return R::FromError(receiver.Error());
        }
        return R::FromValue(std::unique_ptr<EventSubscriber>(
            new EventSubscriber(std::move(receiver).Value(), std::move(config), options.blockPool)));
    }

    // Subscribes over SOME/IP to the event `network` describes, of service `serviceId`.
    static TransportResult<std::unique_ptr<EventSubscriber>> CreateSomeip(
        std::uint16_t serviceId, const someip::NetworkDeployment& network,
        common::TransportSerializeConfig config, Options options) {
        using R = TransportResult<std::unique_ptr<EventSubscriber>>;
        auto receiver = someip::SomeipEventReceiver::Create(serviceId, network, options.queueCapacity);
        if (!receiver.HasValue()) {
            return R::FromError(receiver.Error());
        }
        return R::FromValue(std::unique_ptr<EventSubscriber>(
            new EventSubscriber(std::move(receiver).Value(), std::move(config), options.blockPool)));
    }

    // Reads the event's DDS topics `deployment` names; T must have a DDS type
    // (vrt/cm/dds/dds_record_codec.h).
    static TransportResult<std::unique_ptr<EventSubscriber>> CreateDds(const dds::DdsDeployment& deployment,
                                                                       Options options) {
        using R = TransportResult<std::unique_ptr<EventSubscriber>>;
        if constexpr (dds::kHasRecordCodec<T>) {
            auto receiver =
                dds::DdsEventReceiver::Create(*dds::CodecOf<T>(), deployment, options.queueCapacity);
            if (!receiver.HasValue()) {
                return R::FromError(receiver.Error());
            }
            return R::FromValue(std::unique_ptr<EventSubscriber>(
                new EventSubscriber(std::move(receiver).Value(), std::nullopt, options.blockPool)));
        } else {
            (void)deployment;
            (void)options;
            return R::FromError(
                TransportError{TransportErrorCode::kBadConfiguration,
                               "the record type has no DDS type; it cannot be read over DDS"});
        }
    }

    // Connects to the event the deployment manifest at `manifestPath` lists under `entityId`, using the
    // address and serialization configuration of its transport `options.transport`.
    static TransportResult<std::unique_ptr<EventSubscriber>> Create(
        std::uint32_t entityId, Options options,
        const std::string& manifestPath = deployment::DeploymentManifest::DefaultPath()) {
        using R = TransportResult<std::unique_ptr<EventSubscriber>>;
        auto manifest = deployment::DeploymentManifest::Load(manifestPath);
        if (!manifest.HasValue()) {
            return R::FromError(
                TransportError{TransportErrorCode::kBadConfiguration, manifest.Error().Describe()});
        }
        const auto* event = manifest.Value().FindEvent(entityId);
        if (event == nullptr) {
            return R::FromError(
                TransportError{TransportErrorCode::kBadConfiguration,
                               manifestPath + ": /events/" + std::to_string(entityId) +
                                   ": missing; expected the deployment of the event to subscribe to"});
        }
        const std::string name(type::ToString(options.transport));
        const auto transport = event->transports.find(options.transport);
        if (options.transport == type::DriverType::DDS && transport != event->transports.end()) {
            return CreateDds(*transport->second.dds, options);
        }
        if (transport == event->transports.end() || !transport->second.serialization) {
            return R::FromError(TransportError{TransportErrorCode::kBadConfiguration,
                                               manifestPath + ": /events/" + std::to_string(entityId) +
                                                   "/transports/" + name + ": missing; expected a " + name +
                                                   (options.transport == type::DriverType::DDS
                                                        ? std::string(" transport")
                                                        : " transport with a serialization configuration")});
        }
        if (options.transport == type::DriverType::SOMEIP) {
            return CreateSomeip(event->serviceId, *transport->second.network,
                                transport->second.serialization->template For<T>(), options);
        }
        if (options.transport != type::DriverType::SHM) {
            return R::FromError(
                TransportError{TransportErrorCode::kBadConfiguration,
                               "transport " + name + " cannot be subscribed to from another process"});
        }
        return Create(event->serviceId, event->instanceId, entityId,
                      transport->second.serialization->template For<T>(), options);
    }

    ~EventSubscriber() { StopReceiving(); }
    EventSubscriber(const EventSubscriber&) = delete;
    EventSubscriber& operator=(const EventSubscriber&) = delete;

    // Decodes the oldest queued sample into `record`. nullopt when none is queued; a sample that does not
    // decode is counted in DecodeFailures and yields its Result.
    std::optional<common::serialize::Result> TryReceive(T& record, SampleHeader* header = nullptr) {
        std::optional<common::serialize::Result> outcome;
        if (dds_ != nullptr) {
            bool decoded = false;
            dds::BlockBytes block;
            if (!dds_->TakeRecord(&record, decoded, header, &block)) {
                return outcome;
            }
            if constexpr (serialize::kCarriesMbuf<T>) {
                record.SetMbufPtr(decoded && block.size > 0U ? CopyBlock(block.data, block.size) : nullptr);
            }
            if (!decoded) {
                ++decodeFailures_;
                return common::serialize::Result::Failure(common::serialize::ResultCode::kSerializeFailed,
                                                          "DDS sample is no record of the event");
            }
            return common::serialize::Result();
        }
        receiver_->Take([&](const std::uint8_t* data, std::size_t size, const SampleHeader& sampleHeader) {
            const std::uint64_t blockBytes = sampleHeader.blockBytes <= size ? sampleHeader.blockBytes : 0U;
            outcome = deserializer_->Deserialize(record, data, size - blockBytes);
            if (!outcome->IsSuccess()) {
                ++decodeFailures_;
            }
            if constexpr (serialize::kCarriesMbuf<T>) {
                record.SetMbufPtr(outcome->IsSuccess() && blockBytes > 0U
                                      ? CopyBlock(data + size - blockBytes, blockBytes)
                                      : nullptr);
            }
            if (header != nullptr) {
                *header = sampleHeader;
            }
        });
        return outcome;
    }

    bool WaitForData(std::chrono::nanoseconds timeout) { return receiver_->WaitForData(timeout); }
    bool IsConnected() const noexcept { return receiver_->IsConnected(); }
    std::uint64_t MissedSamples() const noexcept { return receiver_->MissedSamples(); }
    std::uint64_t DecodeFailures() const noexcept { return decodeFailures_.load(); }
    // Records whose block bytes arrived but found no block of the pool to go into.
    std::uint64_t BlocksDropped() const noexcept { return blocksDropped_.load(); }
    // The transport underneath, for its own figures (e.g. a SomeipEventReceiver's drop counts, a
    // DdsEventReceiver's counters).
    const EventTransportReceiver& Transport() const noexcept { return *receiver_; }

    // Starts a thread that hands every decoded record to `handler` until StopReceiving.
    void StartReceiving(Handler handler) {
        StopReceiving();
        running_ = true;
        thread_ = std::thread([this, handler = std::move(handler)] {
            T record;
            SampleHeader header;
            while (running_.load()) {
                if (!receiver_->WaitForData(std::chrono::milliseconds(50))) {
                    continue;
                }
                while (true) {
                    auto outcome = TryReceive(record, &header);
                    if (!outcome) {
                        break;
                    }
                    if (outcome->IsSuccess()) {
                        handler(record, header);
                    }
                }
            }
        });
    }

    void StopReceiving() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    EventSubscriber(std::unique_ptr<EventTransportReceiver> receiver,
                    std::optional<common::TransportSerializeConfig> config, PoolHandle blockPool)
        : receiver_(std::move(receiver)), blockPool_(blockPool) {
        if (config) {
            deserializer_.emplace(std::move(*config));
        } else {
            dds_ = static_cast<dds::DdsEventReceiver*>(receiver_.get());
        }
    }

    // A block of the pool holding `bytes`, or null (counted).
    Mbuf* CopyBlock(const std::uint8_t* bytes, std::uint64_t length) {
        Mbuf* block = nullptr;
        void* data = nullptr;
        std::uint64_t capacity = 0U;
        if (blockPool_ == nullptr || halMbufAllocByPool(blockPool_, &block) != HAL_BUFF_OK) {
            ++blocksDropped_;
            return nullptr;
        }
        if (halMbufGetDataPtr(block, &data, &capacity) != HAL_BUFF_OK || capacity < length) {
            halMbufFree(block);
            ++blocksDropped_;
            return nullptr;
        }
        std::memcpy(data, bytes, length);
        halMbufSetDataLen(block, length);
        return block;
    }

    std::unique_ptr<EventTransportReceiver> receiver_;
    std::optional<common::Deserializer<T>> deserializer_;  // byte-oriented transports
    dds::DdsEventReceiver* dds_{nullptr};                  // the DDS receiver, which decodes records itself
    std::atomic<std::uint64_t> decodeFailures_{0U};
    PoolHandle blockPool_;
    std::atomic<std::uint64_t> blocksDropped_{0U};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace vrt::cm
