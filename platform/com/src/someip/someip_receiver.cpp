#include <poll.h>

#include <algorithm>
#include <chrono>

#include "someip_runtime.h"

namespace vrt::cm::someip {

namespace {
using Clock = SdClock;
}  // namespace

ConsumedEvent::ConsumedEvent(std::uint16_t service, const NetworkDeployment& deployment,
                             std::uint64_t queueCapacity)
    : serviceId(service),
      network(deployment),
      capacity(queueCapacity),
      reader(deployment.maxMessageSize),
      path(service, static_cast<std::uint16_t>(deployment.eventId | kEventBit),
           ReassemblyLimits{deployment.maxMessageSize, deployment.maxReassemblies,
                            std::chrono::milliseconds(deployment.reassemblyTimeoutMs)},
           [this](const Header& header, const std::uint8_t* payload, std::size_t size) {
               Queue(header, payload, size);
           }) {}

void ConsumedEvent::Queue(const Header& header, const std::uint8_t* payload, std::size_t size) {
    // A late notification is dropped: a newer one went out before it (for video, a frame after its
    // successor is of no use), and it was counted as lost then. A restart starts the sequence over, so that
    // subscribers see the publisher's restart as they do over shared memory.
    const SessionTracker::Step step = tracker.Advance(header.sessionId);
    switch (step.order) {
        case SessionTracker::Order::kLate:
            path.Drops().Count(DropReason::kLateSample);
            return;
        case SessionTracker::Order::kDuplicate:
            path.Drops().Count(DropReason::kDuplicateSample);
            return;
        case SessionTracker::Order::kRestart:
            path.Drops().Count(DropReason::kPublisherRestart);
            break;
        case SessionTracker::Order::kNext:
            break;
    }
    std::lock_guard<std::mutex> lock(queueMutex);
    missed += step.lost;
    if (queue.size() >= capacity) {
        spare.push_back(std::move(queue.front().bytes));
        queue.pop_front();
        missed.fetch_add(1U);
        path.Drops().Count(DropReason::kQueueFull);
    }
    Sample sample;
    if (!spare.empty()) {
        sample.bytes = std::move(spare.back());
        spare.pop_back();
    }
    sample.bytes.assign(payload, payload + size);
    sample.header.sequence = tracker.Sequence();
    queue.push_back(std::move(sample));
}

void ConsumedEvent::Pump() {
    batch.Drain(events,
                [this](const std::uint8_t* data, std::size_t size, const Endpoint& from, bool truncated) {
                    // Only the provider subscribed to may feed this event; checked before anything else,
                    // so that nobody else's datagrams cost reassembly memory.
                    if (PackEndpoint(from) != source.load(std::memory_order_acquire)) {
                        path.Drops().Count(DropReason::kForeignSender);
                        return;
                    }
                    if (truncated) {
                        path.Drops().Count(DropReason::kWrongLength);  // longer than any datagram we take
                        return;
                    }
                    path.OnDatagram(data, size, from.address, from.port, SdClock::now());
                });
    if (network.reliable) {
        PumpStream();
    }
    path.Expire(SdClock::now());
}

void ConsumedEvent::PumpStream() {
    std::lock_guard<std::mutex> lock(tcpMutex);
    if (!tcp.valid() || tcpBroken.load(std::memory_order_acquire)) {
        return;
    }
    const auto status = reader.Read(tcp.get(), [this](const std::uint8_t* data, std::size_t size) {
        path.OnDatagram(data, size, tcpPeer.address, tcpPeer.port, SdClock::now());
    });
    if (status != TcpMessageReader::Status::kOpen) {
        if (status == TcpMessageReader::Status::kTooLarge) {
            path.Drops().Count(DropReason::kWrongLength);
        }
        tcpBroken.store(true, std::memory_order_release);
        runtime->Wake();  // its loop drops the connection and makes a new one
    }
}

bool ConsumedEvent::HasQueued() {
    std::lock_guard<std::mutex> lock(queueMutex);
    return !queue.empty();
}

TransportResult<std::unique_ptr<SomeipEventReceiver>> SomeipEventReceiver::Create(
    std::uint16_t serviceId, const NetworkDeployment& network, std::uint64_t queueCapacity) {
    using R = TransportResult<std::unique_ptr<SomeipEventReceiver>>;
    if (queueCapacity == 0) {
        return R::FromError(TransportError{TransportErrorCode::kBadConfiguration,
                                           "queue capacity 0; expected at least 1 sample"});
    }
    auto runtime = Runtime::Instance();
    if (!runtime.HasValue()) {
        return R::FromError(runtime.Error());
    }
    auto event = std::make_shared<ConsumedEvent>(serviceId, network, queueCapacity);
    event->runtime = runtime.Value();
    auto consumed = runtime.Value()->Consume(event);
    if (!consumed.HasValue()) {
        return R::FromError(consumed.Error());
    }
    return R::FromValue(std::unique_ptr<SomeipEventReceiver>(new SomeipEventReceiver(std::move(event))));
}

SomeipEventReceiver::SomeipEventReceiver(std::shared_ptr<ConsumedEvent> event) : event_(std::move(event)) {}

SomeipEventReceiver::~SomeipEventReceiver() {
    event_->runtime->ReleaseConsumer(*event_);
}

bool SomeipEventReceiver::Take(ReadFunction read, void* context) {
    event_->Pump();
    ConsumedEvent::Sample sample;
    {
        std::lock_guard<std::mutex> lock(event_->queueMutex);
        if (event_->queue.empty()) {
            return false;
        }
        sample = std::move(event_->queue.front());
        event_->queue.pop_front();
    }
    read(context, sample.bytes.data(), sample.bytes.size(), sample.header);
    std::lock_guard<std::mutex> lock(event_->queueMutex);
    if (event_->spare.size() < event_->capacity) {
        event_->spare.push_back(std::move(sample.bytes));
    }
    return true;
}

bool SomeipEventReceiver::WaitForData(std::chrono::nanoseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    // Partial messages must still time out while nothing arrives: wake at least this often.
    const auto tick =
        std::chrono::milliseconds(std::max<std::uint32_t>(1U, event_->network.reassemblyTimeoutMs / 2));
    while (true) {
        event_->Pump();
        if (event_->HasQueued()) {
            return true;
        }
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        // A closed stream descriptor only ends the wait early (POLLNVAL); the next pump sees the new one.
        pollfd ready[2] = {{event_->events.Descriptor(), POLLIN, 0},
                           {event_->tcpBroken ? -1 : event_->tcpDescriptor.load(), POLLIN, 0}};
        // Waiting for a TCP connection the runtime's thread makes: look again soon, it has no way to wake us.
        const auto wait = std::min<Clock::duration>(
            left, event_->network.reliable && ready[1].fd < 0 ? std::chrono::milliseconds(10) : tick);
        (void)::poll(ready, 2, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    }
}

bool SomeipEventReceiver::IsConnected() const noexcept {
    return event_->state.load() == SdClient::State::kSubscribed;
}

std::uint64_t SomeipEventReceiver::MissedSamples() const noexcept {
    return event_->missed.load();
}

SdClient::State SomeipEventReceiver::DiscoveryState() const noexcept {
    return event_->state.load();
}

const DropCounters& SomeipEventReceiver::Drops() const noexcept {
    return event_->path.Drops();
}

Endpoint SomeipEventReceiver::EventEndpoint() const noexcept {
    return event_->events.Local();
}

}  // namespace vrt::cm::someip
