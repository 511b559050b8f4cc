#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "ara/core/result.h"
#include "vrt/cm/someip/someip_deployment.h"
#include "vrt/cm/someip/someip_endpoint.h"
#include "vrt/cm/someip/someip_status.h"
#include "vrt/cm/transport/event_transport.h"
#include "vrt/cm/transport_error.h"

// The SOME/IP binding on UDP: events as notifications (SOME/IP-TP above the segment size), offered and
// subscribed through SOME/IP-SD. One process-wide runtime owns the sockets and one epoll thread that serves
// discovery and its timers; senders send on their own thread, and a receiver reads its event socket on the
// thread that waits for and takes its samples, so that a datagram wakes only that thread.
namespace vrt::cm::someip {

class Runtime;
struct ProvidedService;
struct ConsumedEvent;

// One event of an offered service instance. Events of one instance share its socket and its discovery
// state, so they must agree on the instance's network settings. Thread-safe.
class SomeipEventPublisher : public EventTransportPublisher {
  public:
    using EventTransportPublisher::Send;

    static TransportResult<std::unique_ptr<SomeipEventPublisher>> Create(std::uint16_t serviceId,
                                                                         const NetworkDeployment& network);
    ~SomeipEventPublisher() override;
    SomeipEventPublisher(const SomeipEventPublisher&) = delete;
    SomeipEventPublisher& operator=(const SomeipEventPublisher&) = delete;

    // The service instance is offered while any of its events is.
    void Offer() override;
    void StopOffer() override;
    bool IsOffered() const noexcept override;
    bool HasSubscribers() const noexcept override;
    // Serializes into the publisher's own buffer and sends one notification (or its TP segments) to every
    // subscriber of the event's eventgroup. Without subscribers nothing is serialized or sent. The wire
    // format has no room to mark block bytes, so `blockBytes` must be 0 (the event adapter sends the fields
    // only).
    SendStatus Send(std::size_t size, WriteFunction write, void* context, std::uint64_t blockBytes) override;

    // Datagrams the kernel refused (full send buffer); their messages are lost.
    std::uint64_t FailedDatagrams() const noexcept;

  private:
    struct Impl;
    explicit SomeipEventPublisher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A subscription to one event: finds the service, subscribes its eventgroup, receives and reassembles the
// notifications and queues them (drop-oldest). One thread takes and waits; it also reads the socket, so
// datagrams wait in the socket's buffer (8 MiB where allowed) while nobody takes, and partial messages
// time out only while someone waits or takes.
class SomeipEventReceiver : public EventTransportReceiver {
  public:
    using EventTransportReceiver::Take;

    static TransportResult<std::unique_ptr<SomeipEventReceiver>> Create(std::uint16_t serviceId,
                                                                        const NetworkDeployment& network,
                                                                        std::uint64_t queueCapacity);
    ~SomeipEventReceiver() override;
    SomeipEventReceiver(const SomeipEventReceiver&) = delete;
    SomeipEventReceiver& operator=(const SomeipEventReceiver&) = delete;

    bool Take(ReadFunction read, void* context) override;
    bool WaitForData(std::chrono::nanoseconds timeout) override;
    // True while the subscription is acknowledged.
    bool IsConnected() const noexcept override;
    // Session ids skipped by the sender's numbering plus messages dropped from the full queue.
    std::uint64_t MissedSamples() const noexcept override;

    SubscriptionState DiscoveryState() const noexcept;
    const DropCounters& Drops() const noexcept;
    Endpoint EventEndpoint() const noexcept;

  private:
    explicit SomeipEventReceiver(std::shared_ptr<ConsumedEvent> event);
    std::shared_ptr<ConsumedEvent> event_;
};

}  // namespace vrt::cm::someip
