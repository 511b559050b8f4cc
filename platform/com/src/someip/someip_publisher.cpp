#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>

#include "someip_runtime.h"

namespace vrt::cm::someip {

struct SomeipEventPublisher::Impl {
    std::shared_ptr<Runtime> runtime;
    std::shared_ptr<ProvidedService> service;
    std::uint16_t eventId{0};
    std::uint16_t eventgroupId{0};
    std::uint8_t interfaceVersion{1};
    std::size_t tpLimit{1400};
    std::size_t segmentSize{1392};

    std::mutex sendMutex;
    bool offered{false};
    SessionCounter session;
    std::vector<std::uint8_t> buffer;                        // the serialized payload, reused
    std::vector<Endpoint> targets;                           // a copy of the subscribers, reused
    std::vector<std::shared_ptr<TcpSubscriber>> tcpTargets;  // and of the subscribers over TCP
    // The segments of one TP message: their headers, gather lists and message headers, reused.
    std::vector<std::array<std::uint8_t, kHeaderSize + kTpHeaderSize>> heads;
    std::vector<iovec> parts;
    std::vector<mmsghdr> messages;

    ~Impl() {
        if (offered) {
            runtime->StopOffer(*service);
        }
        runtime->ReleaseService(*service);
    }

    void SendTo(const Endpoint& to, const Header& header, std::size_t size) {
        if (size <= tpLimit) {
            std::uint8_t head[kHeaderSize];
            Header whole = header;
            whole.length = static_cast<std::uint32_t>(kLengthCoveredHeader + size);
            EncodeHeader(whole, head);
            const iovec single[2] = {{head, kHeaderSize}, {buffer.data(), size}};
            Count(service->events.SendTo(to, single, 2) ? 1U : 0U, 1U);
            return;
        }
        // Every segment's headers and its slice of the payload, gathered once and sent in one batch.
        const std::size_t count = (size + segmentSize - 1) / segmentSize;
        if (heads.size() < count) {
            heads.resize(count);
            parts.resize(2 * count);
            messages.resize(count);
        }
        Header segment = header;
        segment.messageType = static_cast<std::uint8_t>(header.messageType | kTpFlag);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t offset = i * segmentSize;
            const std::size_t length = std::min(segmentSize, size - offset);
            segment.length = static_cast<std::uint32_t>(kLengthCoveredHeader + kTpHeaderSize + length);
            EncodeHeader(segment, heads[i].data());
            EncodeTpHeader(TpHeader{static_cast<std::uint32_t>(offset), offset + length < size},
                           heads[i].data() + kHeaderSize);
            parts[2 * i] = iovec{heads[i].data(), kHeaderSize + kTpHeaderSize};
            parts[2 * i + 1] = iovec{buffer.data() + offset, length};
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_iov = &parts[2 * i];
            messages[i].msg_hdr.msg_iovlen = 2;
        }
        Count(service->events.SendBatch(to, messages.data(), count), count);
    }

    void Count(std::size_t sent, std::size_t attempted) {
        if (sent < attempted) {
            service->failedDatagrams.fetch_add(attempted - sent, std::memory_order_relaxed);
        }
    }
};

TransportResult<std::unique_ptr<SomeipEventPublisher>> SomeipEventPublisher::Create(
    std::uint16_t serviceId, const NetworkDeployment& network) {
    using R = TransportResult<std::unique_ptr<SomeipEventPublisher>>;
    auto runtime = Runtime::Instance();
    if (!runtime.HasValue()) {
        return R::FromError(runtime.Error());
    }
    auto service = runtime.Value()->Provide(serviceId, network);
    if (!service.HasValue()) {
        return R::FromError(service.Error());
    }
    auto impl = std::make_unique<Impl>();
    impl->runtime = runtime.Value();
    impl->service = std::move(service).Value();
    impl->eventId = static_cast<std::uint16_t>(network.eventId | kEventBit);
    impl->eventgroupId = network.eventgroupId;
    impl->interfaceVersion = network.interfaceVersion;
    impl->tpLimit = network.tpSegmentSize;
    impl->segmentSize = SegmentPayloadSize(network.tpSegmentSize);
    return R::FromValue(std::unique_ptr<SomeipEventPublisher>(new SomeipEventPublisher(std::move(impl))));
}

SomeipEventPublisher::SomeipEventPublisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SomeipEventPublisher::~SomeipEventPublisher() = default;

void SomeipEventPublisher::Offer() {
    std::lock_guard<std::mutex> lock(impl_->sendMutex);
    if (!impl_->offered) {
        impl_->offered = true;
        impl_->runtime->Offer(*impl_->service);
    }
}

void SomeipEventPublisher::StopOffer() {
    std::lock_guard<std::mutex> lock(impl_->sendMutex);
    if (impl_->offered) {
        impl_->offered = false;
        impl_->runtime->StopOffer(*impl_->service);
    }
}

bool SomeipEventPublisher::IsOffered() const noexcept {
    std::lock_guard<std::mutex> lock(impl_->sendMutex);
    return impl_->offered;
}

bool SomeipEventPublisher::HasSubscribers() const noexcept {
    std::lock_guard<std::mutex> lock(impl_->service->subscribersMutex);
    const auto it = impl_->service->subscribers.find(impl_->eventgroupId);
    const auto tcp = impl_->service->tcpSubscribers.find(impl_->eventgroupId);
    return (it != impl_->service->subscribers.end() && !it->second.empty()) ||
           (tcp != impl_->service->tcpSubscribers.end() && !tcp->second.empty());
}

SendStatus SomeipEventPublisher::Send(std::size_t size, WriteFunction write, void* context,
                                      std::uint64_t /*blockBytes*/) {
    Impl& impl = *impl_;
    std::lock_guard<std::mutex> lock(impl.sendMutex);
    if (!impl.offered) {
        return SendStatus::kNotOffered;
    }
    if (size > 0xFFFFFFFFULL - kLengthCoveredHeader) {
        return SendStatus::kTooLarge;
    }
    {
        std::lock_guard<std::mutex> subscribersLock(impl.service->subscribersMutex);
        const auto& subscribers = impl.service->subscribers[impl.eventgroupId];
        impl.targets.assign(subscribers.begin(), subscribers.end());
        const auto& connections = impl.service->tcpSubscribers[impl.eventgroupId];
        impl.tcpTargets.assign(connections.begin(), connections.end());
    }
    Header header;
    header.serviceId = impl.service->serviceId;
    header.methodId = impl.eventId;
    header.interfaceVersion = impl.interfaceVersion;
    header.sessionId = impl.session.Next();  // counts every send, so that receivers see what they missed
    if (impl.targets.empty() && impl.tcpTargets.empty()) {
        return SendStatus::kSent;
    }
    if (impl.buffer.size() < size) {
        impl.buffer.resize(size);
    }
    if (!write(context, impl.buffer.data(), size)) {
        return SendStatus::kWriteFailed;
    }
    for (const Endpoint& to : impl.targets) {
        impl.SendTo(to, header, size);
    }
    if (!impl.tcpTargets.empty()) {
        // On a stream the whole message goes as one, without SOME/IP-TP.
        std::uint8_t head[kHeaderSize];
        Header whole = header;
        whole.length = static_cast<std::uint32_t>(kLengthCoveredHeader + size);
        EncodeHeader(whole, head);
        const iovec parts[2] = {{head, kHeaderSize}, {impl.buffer.data(), size}};
        for (const auto& connection : impl.tcpTargets) {
            (void)connection->Send(parts, 2);  // one that falls behind is cut off, counted by the runtime
        }
        impl.tcpTargets.clear();  // the connections go when the runtime closes them, not at the next send
    }
    return SendStatus::kSent;
}

std::uint64_t SomeipEventPublisher::FailedDatagrams() const noexcept {
    return impl_->service->failedDatagrams.load(std::memory_order_relaxed);
}

}  // namespace vrt::cm::someip
