#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "ara/core/result.h"
#include "vrt/cm/transport/event_transport.h"
#include "vrt/cm/transport_error.h"

// The shared-memory transport on Eclipse iceoryx. The iceoryx types stay inside the implementation, so that
// this header can be included by generated and application code.
namespace vrt::cm::shm {

// Where an event's samples meet in RouDi: the service id and entity id in decimal, the instance id as is.
struct ShmAddress {
    std::string service;
    std::string instance;
    std::string event;

    static ShmAddress ForEvent(std::uint16_t serviceId, const std::string& instanceId,
                               std::uint32_t entityId);
    std::string ToString() const;  // "service/instance/event"
};

// Travels in each chunk's user header, ahead of the serialized payload.
using SampleHeader = vrt::cm::SampleHeader;

// This process's connection to RouDi, made once. Waits at most VRT_CM_ROUDI_WAIT_S seconds (10 by default)
// for RouDi's socket to appear and for RouDi's answer, refuses at once a socket that refuses this process
// (iceoryx itself would wait for ever), and learns RouDi's mempools so that oversized loans are refused
// before iceoryx aborts. Once connected, a monitoring thread checks RouDi every 250 ms and reports its end or
// restart through vrt::cm::ReportTransportLoss (transport_runtime.h).
class ShmRuntime {
  public:
    // Connects on the first call; every call returns the first call's outcome. Thread-safe. The wait for
    // RouDi ends early, with an error, on vrt::cm::CancelStartupWaits().
    static TransportResult<void> Connect();
    // True once the RouDi this process registered with has ended or been restarted, or has dropped this
    // process (paused past RouDi's keep-alive time-out): the ports must not be touched any more.
    static bool RouDiLost() noexcept;
    // The largest user payload a chunk with a SampleHeader can carry; 0 before a successful Connect.
    static std::uint64_t LargestPayload() noexcept;
    // Whether a RouDi runs on this machine right now (it holds its lock and its socket exists); for
    // processes that want to tell "RouDi is gone" from "nobody publishes". Thread-safe.
    static bool RouDiRunning() noexcept;
};

using SendStatus = vrt::cm::SendStatus;

// One event's publisher. Thread-safe: sends from several threads are serialized. Subscribers that fall
// behind lose their oldest samples; a send never waits for them.
class ShmEventPublisher : public EventTransportPublisher {
  public:
    using EventTransportPublisher::Send;

    // Requires ShmRuntime::Connect() to have succeeded. Not offered until Offer().
    static TransportResult<std::unique_ptr<ShmEventPublisher>> Create(const ShmAddress& address);
    ~ShmEventPublisher() override;
    ShmEventPublisher(const ShmEventPublisher&) = delete;
    ShmEventPublisher& operator=(const ShmEventPublisher&) = delete;

    void Offer() override;
    void StopOffer() override;
    bool IsOffered() const noexcept override;
    bool HasSubscribers() const noexcept override;
    const ShmAddress& Address() const noexcept;

    // Loans exactly `size` bytes, lets `write` fill them and publishes; the last `blockBytes` of them are a
    // shared-buffer block's bytes (SampleHeader::blockBytes). Failures are logged (rate-limited).
    SendStatus Send(std::size_t size, WriteFunction write, void* context, std::uint64_t blockBytes) override;

  private:
    struct Impl;
    explicit ShmEventPublisher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// One event's subscription. Not thread-safe: one thread takes and waits.
class ShmEventReceiver : public EventTransportReceiver {
  public:
    using EventTransportReceiver::Take;

    // Requires ShmRuntime::Connect() to have succeeded. `queueCapacity` samples are kept for this
    // subscriber (1 to 256); when full, the oldest is dropped.
    static TransportResult<std::unique_ptr<ShmEventReceiver>> Create(const ShmAddress& address,
                                                                     std::uint64_t queueCapacity);
    ~ShmEventReceiver() override;
    ShmEventReceiver(const ShmEventReceiver&) = delete;
    ShmEventReceiver& operator=(const ShmEventReceiver&) = delete;

    // Hands the oldest queued sample to `read`, then returns its chunk; false when none is queued.
    bool Take(ReadFunction read, void* context) override;
    bool WaitForData(std::chrono::nanoseconds timeout) override;
    // True once a publisher of the address is connected to this subscriber.
    bool IsConnected() const noexcept override;
    // Samples the publisher sent that never reached this subscriber (dropped from its full queue).
    std::uint64_t MissedSamples() const noexcept override;

  private:
    struct Impl;
    explicit ShmEventReceiver(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vrt::cm::shm
