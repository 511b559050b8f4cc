#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "udp_socket.h"
#include "vrt/cm/someip/someip_transport.h"
#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm::someip {

namespace {

using Clock = SdClock;

// Room for bursts of key-frame segments while the receiving thread is busy.
constexpr std::size_t kSocketBufferBytes = 8U * 1024U * 1024U;
constexpr std::size_t kDatagramCapacity = 65536;
constexpr std::size_t kBatch = 32;          // datagrams per receive call on the loop's SD sockets
constexpr std::size_t kConsumerBatch = 16;  // and on a consumer's event socket
constexpr auto kLogPeriod = std::chrono::seconds(1);

SdTiming TimingOf(const NetworkDeployment& network) {
    SdTiming timing;
    timing.offerInterval = std::chrono::milliseconds(network.offerIntervalMs);
    timing.offerTtl = network.offerTtl;
    timing.subscribeTtl = network.subscribeTtl;
    return timing;
}

ServiceInstance InstanceOf(std::uint16_t serviceId, const NetworkDeployment& network) {
    return ServiceInstance{serviceId, network.instanceId, network.interfaceVersion, network.minorVersion};
}

}  // namespace

// Receive buffers for a batch of datagrams per call, and the loop that empties a socket with them.
class DatagramBatch {
  public:
    explicit DatagramBatch(std::size_t slots)
        : buffer_(slots * kDatagramCapacity), parts_(slots), messages_(slots), senders_(slots) {
        for (std::size_t i = 0; i < slots; ++i) {
            parts_[i] = iovec{buffer_.data() + i * kDatagramCapacity, kDatagramCapacity};
            messages_[i] = mmsghdr{};
            messages_[i].msg_hdr.msg_iov = &parts_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Reads every waiting datagram of `socket` and hands each to `handle(data, size, from, truncated)`.
    template <typename Handle>
    void Drain(const UdpSocket& socket, Handle&& handle) {
        for (std::size_t received = 0;
             (received = socket.ReceiveBatch(messages_.data(), senders_.data(), messages_.size())) > 0;) {
            for (std::size_t i = 0; i < received; ++i) {
                const Endpoint from{ntohl(senders_[i].sin_addr.s_addr), ntohs(senders_[i].sin_port)};
                const bool truncated = (messages_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
                handle(buffer_.data() + i * kDatagramCapacity, messages_[i].msg_len, from, truncated);
            }
            if (received < messages_.size()) {
                break;
            }
        }
    }

  private:
    std::vector<std::uint8_t> buffer_;
    std::vector<iovec> parts_;
    std::vector<mmsghdr> messages_;
    std::vector<sockaddr_in> senders_;
};

// An SD socket with its own session numbering; the reboot flag stays set until the session ids wrap.
struct SdChannel {
    UdpSocket socket;
    SessionCounter session;
    bool reboot{true};

    void Send(std::vector<SdOutgoing>& out) {
        for (SdOutgoing& outgoing : out) {
            outgoing.message.reboot = reboot;
            const std::uint16_t id = session.Next();
            if (session.Peek() == 1U) {
                reboot = false;
            }
            const std::vector<std::uint8_t> bytes = EncodeSd(outgoing.message, id);
            (void)socket.SendTo(outgoing.to, bytes.data(), bytes.size());
        }
        out.clear();
    }
};

struct SharedSd {
    SdChannel channel;
    std::vector<ProvidedService*> services;
};

struct ProvidedService {
    std::uint16_t serviceId{0};
    NetworkDeployment network;
    UdpSocket events;
    std::shared_ptr<SharedSd> sd;
    std::unique_ptr<SdServer> server;  // under the runtime's mutex
    int offers{0};                     // events currently offered, under the runtime's mutex
    int publishers{0};                 // events bound to the instance, under the runtime's mutex
    std::atomic<bool> offered{false};
    mutable std::mutex subscribersMutex;
    std::map<std::uint16_t, std::vector<Endpoint>> subscribers;  // a copy of the server's, for senders
    std::atomic<std::uint64_t> failedDatagrams{0};

    void RefreshSubscribers() {
        std::lock_guard<std::mutex> lock(subscribersMutex);
        for (auto& [eventgroup, endpoints] : subscribers) {
            endpoints = server->Subscribers(eventgroup);
        }
    }
};

struct ConsumedEvent {
    struct Sample {
        std::vector<std::uint8_t> bytes;
        SampleHeader header;
    };

    ConsumedEvent(std::uint16_t service, const NetworkDeployment& deployment, std::uint64_t queueCapacity)
        : serviceId(service),
          network(deployment),
          capacity(queueCapacity),
          path(service, static_cast<std::uint16_t>(deployment.eventId | kEventBit),
               ReassemblyLimits{deployment.maxMessageSize, deployment.maxReassemblies,
                                std::chrono::milliseconds(deployment.reassemblyTimeoutMs)},
               [this](const Header& header, const std::uint8_t* payload, std::size_t size) {
                   Queue(header, payload, size);
               }) {}

    void Queue(const Header& header, const std::uint8_t* payload, std::size_t size) {
        const std::uint64_t lost = tracker.Advance(header.sessionId);
        std::lock_guard<std::mutex> lock(queueMutex);
        missed += lost;
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

    // Reads what waits on the event socket through the receive path; on the consumer's thread.
    void Pump() {
        batch.Drain(events,
                    [this](const std::uint8_t* data, std::size_t size, const Endpoint& from, bool truncated) {
                        if (truncated) {
                            path.Drops().Count(DropReason::kWrongLength);  // longer than any datagram we take
                            return;
                        }
                        path.OnDatagram(data, size, from.address, from.port, SdClock::now());
                    });
        path.Expire(SdClock::now());
    }

    bool HasQueued() {
        std::lock_guard<std::mutex> lock(queueMutex);
        return !queue.empty();
    }

    std::uint16_t serviceId;
    NetworkDeployment network;
    std::uint64_t capacity;
    UdpSocket events;
    SdChannel sd;
    std::unique_ptr<SdClient> client;  // under the runtime's mutex
    std::atomic<SdClient::State> state{SdClient::State::kStopped};
    // The consumer's thread only: it reads the event socket itself, so that a datagram wakes one thread.
    ReceivePath path;
    SessionTracker tracker;
    DatagramBatch batch{kConsumerBatch};
    std::uint64_t loggedDrops{0};

    std::mutex queueMutex;
    std::deque<Sample> queue;
    std::vector<std::vector<std::uint8_t>> spare;  // buffers of taken samples, reused
    std::atomic<std::uint64_t> missed{0};
    std::shared_ptr<Runtime> runtime;
};

// The process's sockets and its one epoll thread. Discovery state, socket registration and reception run
// under one mutex; senders only take their service's subscriber lock.
class Runtime : public std::enable_shared_from_this<Runtime> {
  public:
    static ara::core::Result<std::shared_ptr<Runtime>, std::string> Instance() {
        using R = ara::core::Result<std::shared_ptr<Runtime>, std::string>;
        static std::mutex mutex;
        static std::weak_ptr<Runtime> current;
        std::lock_guard<std::mutex> lock(mutex);
        if (auto existing = current.lock()) {
            return R::FromValue(existing);
        }
        auto poller = Poller::Create();
        if (!poller.HasValue()) {
            return R::FromError(poller.Error());
        }
        auto runtime = std::shared_ptr<Runtime>(new Runtime(std::move(poller).Value()));
        runtime->thread_ = std::thread([raw = runtime.get()] { raw->Loop(); });
        current = runtime;
        return R::FromValue(runtime);
    }

    ~Runtime() {
        stop_ = true;
        poller_.Wake();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    ara::core::Result<std::shared_ptr<ProvidedService>, std::string> Provide(
        std::uint16_t serviceId, const NetworkDeployment& network) {
        using R = ara::core::Result<std::shared_ptr<ProvidedService>, std::string>;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto key = std::make_pair(serviceId, network.instanceId);
        if (auto existing = services_[key].lock()) {
            if (!existing->network.SameServiceEndpoint(network)) {
                return R::FromError(
                    "service " + std::to_string(serviceId) + " instance " +
                    std::to_string(network.instanceId) +
                    ": its events disagree on the instance's network settings (address, port, "
                    "sdPort, sdMulticast, versions, offerIntervalMs, offerTtl)");
            }
            existing->server->AddEventgroup(network.eventgroupId);
            ++existing->publishers;
            std::lock_guard<std::mutex> subscribersLock(existing->subscribersMutex);
            existing->subscribers[network.eventgroupId];
            return R::FromValue(existing);
        }
        auto service = std::make_shared<ProvidedService>();
        service->serviceId = serviceId;
        service->network = network;
        UdpSocket::Options options;
        options.bufferBytes = kSocketBufferBytes;
        auto events = UdpSocket::Bind(Endpoint{network.address, network.port}, options);
        if (!events.HasValue()) {
            return R::FromError("event socket: " + events.Error());
        }
        service->events = std::move(events).Value();
        const auto sdKey = std::make_pair(network.address, network.sdPort);
        service->sd = sdSockets_[sdKey].lock();
        if (!service->sd) {
            UdpSocket::Options sdOptions;
            sdOptions.reuseAddress = network.sdMulticast.has_value();
            if (network.sdMulticast) {
                sdOptions.multicastInterface = network.address;
            }
            auto sd = UdpSocket::Bind(Endpoint{network.address, network.sdPort}, sdOptions);
            if (!sd.HasValue()) {
                return R::FromError("service discovery socket: " + sd.Error());
            }
            service->sd = std::make_shared<SharedSd>();
            service->sd->channel.socket = std::move(sd).Value();
            SharedSd* shared = service->sd.get();
            auto added =
                Register(shared->channel.socket.Descriptor(), [this, shared] { OnProviderSd(*shared); });
            if (!added.HasValue()) {
                return R::FromError(added.Error());
            }
            sdSockets_[sdKey] = service->sd;
        }
        std::optional<Endpoint> multicast;
        if (network.sdMulticast) {
            multicast = Endpoint{*network.sdMulticast, network.sdPort};
        }
        service->server = std::make_unique<SdServer>(InstanceOf(serviceId, network),
                                                     std::set<std::uint16_t>{network.eventgroupId},
                                                     service->events.Local(), TimingOf(network), multicast);
        service->subscribers[network.eventgroupId];
        service->sd->services.push_back(service.get());
        service->publishers = 1;
        services_[key] = service;
        return R::FromValue(service);
    }

    // One event of the instance goes; the last one withdraws the instance and takes it out of discovery, so
    // that the loop no longer reaches it (whoever holds it last closes its sockets).
    void ReleaseService(ProvidedService& service) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--service.publishers > 0) {
            return;
        }
        services_.erase(std::make_pair(service.serviceId, service.network.instanceId));
        std::vector<SdOutgoing> out;
        service.server->StopOffer(out);
        service.sd->channel.Send(out);
        auto& list = service.sd->services;
        list.erase(std::remove(list.begin(), list.end(), &service), list.end());
        if (list.empty()) {
            Unregister(service.sd->channel.socket.Descriptor());
            sdSockets_.erase(std::make_pair(service.network.address, service.network.sdPort));
        }
    }

    void Offer(ProvidedService& service) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (service.offers++ == 0) {
            std::vector<SdOutgoing> out;
            service.server->Offer(Clock::now(), out);
            service.sd->channel.Send(out);
            service.offered = true;
            poller_.Wake();
        }
    }

    void StopOffer(ProvidedService& service) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (service.offers > 0 && --service.offers == 0) {
            std::vector<SdOutgoing> out;
            service.server->StopOffer(out);
            service.sd->channel.Send(out);
            service.offered = false;
            service.RefreshSubscribers();
        }
    }

    ara::core::Result<void, std::string> Consume(const std::shared_ptr<ConsumedEvent>& event) {
        using R = ara::core::Result<void, std::string>;
        const NetworkDeployment& network = event->network;
        UdpSocket::Options options;
        options.bufferBytes = kSocketBufferBytes;
        auto events = UdpSocket::Bind(Endpoint{network.clientAddress, network.clientPort}, options);
        if (!events.HasValue()) {
            return R::FromError("event socket: " + events.Error());
        }
        event->events = std::move(events).Value();
        UdpSocket::Options sdOptions;
        Endpoint sdLocal{network.clientAddress, 0};
        if (network.sdMulticast) {
            // Offers to the group arrive on the SD port, shared with whoever else listens on this host.
            sdOptions.reuseAddress = true;
            sdLocal = Endpoint{0, network.sdPort};
        }
        auto sd = UdpSocket::Bind(sdLocal, sdOptions);
        if (!sd.HasValue()) {
            return R::FromError("service discovery socket: " + sd.Error());
        }
        event->sd.socket = std::move(sd).Value();
        if (network.sdMulticast) {
            auto joined = event->sd.socket.JoinGroup(*network.sdMulticast, network.clientAddress);
            if (!joined.HasValue()) {
                return joined;
            }
        }
        event->client = std::make_unique<SdClient>(
            InstanceOf(event->serviceId, network), network.eventgroupId,
            Endpoint{network.address, network.sdPort}, event->events.Local(), TimingOf(network));
        std::lock_guard<std::mutex> lock(mutex_);
        ConsumedEvent* raw = event.get();
        auto added = Register(raw->sd.socket.Descriptor(), [this, raw] { OnConsumerSd(*raw); });
        if (!added.HasValue()) {
            return added;
        }
        std::vector<SdOutgoing> out;
        raw->client->Start(Clock::now(), out);
        raw->sd.Send(out);
        raw->state = raw->client->GetState();
        consumers_.push_back(raw);
        poller_.Wake();
        return {};
    }

    void ReleaseConsumer(ConsumedEvent& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!event.client) {
            return;
        }
        std::vector<SdOutgoing> out;
        event.client->Stop(out);
        event.sd.Send(out);
        Unregister(event.sd.socket.Descriptor());
        consumers_.erase(std::remove(consumers_.begin(), consumers_.end(), &event), consumers_.end());
    }

    ara::log::Logger& Log() { return log_->Get(); }
    vrt::cm::utils::CmLogger& Limited() { return *log_; }

  private:
    explicit Runtime(Poller poller)
        : poller_(std::move(poller)), log_(vrt::cm::utils::LogInitializer::GetLogger()) {}

    ara::core::Result<void, std::string> Register(int fd, std::function<void()> handler) {
        auto added = poller_.Add(fd);
        if (added.HasValue()) {
            handlers_[fd] = std::move(handler);
        }
        return added;
    }

    void Unregister(int fd) {
        poller_.Remove(fd);
        handlers_.erase(fd);
    }

    void OnProviderSd(SharedSd& sd) {
        std::vector<SdOutgoing> out;
        batch_.Drain(sd.channel.socket,
                     [&](const std::uint8_t* data, std::size_t size, const Endpoint& from, bool) {
                         const DecodedSd decoded = DecodeSd(data, size);
                         if (!decoded.message) {
                             return;
                         }
                         const Clock::time_point now = Clock::now();
                         for (ProvidedService* service : sd.services) {
                             service->server->OnMessage(*decoded.message, from, now, out);
                             service->RefreshSubscribers();
                         }
                         NackUnknown(*decoded.message, sd, from, out);
                     });
        sd.channel.Send(out);
    }

    // A subscription to a service this socket does not offer gets a Nack.
    static void NackUnknown(const SdMessage& message, const SharedSd& sd, const Endpoint& from,
                            std::vector<SdOutgoing>& out) {
        for (const SdEntry& entry : message.entries) {
            if (entry.type != EntryType::kSubscribeEventgroup || entry.ttl == 0) {
                continue;
            }
            const bool known =
                std::any_of(sd.services.begin(), sd.services.end(), [&](const ProvidedService* s) {
                    return s->serviceId == entry.serviceId && s->network.instanceId == entry.instanceId;
                });
            if (!known) {
                SdOutgoing nack{from, SdMessage{}};
                SdEntry answer = entry;
                answer.type = EntryType::kSubscribeEventgroupAck;
                answer.ttl = 0;
                answer.endpoint.reset();
                nack.message.entries.push_back(answer);
                out.push_back(std::move(nack));
            }
        }
    }

    void OnConsumerSd(ConsumedEvent& event) {
        std::vector<SdOutgoing> out;
        batch_.Drain(event.sd.socket,
                     [&](const std::uint8_t* data, std::size_t size, const Endpoint& from, bool) {
                         const DecodedSd decoded = DecodeSd(data, size);
                         if (decoded.message) {
                             event.client->OnMessage(*decoded.message, from, Clock::now(), out);
                         }
                     });
        event.sd.Send(out);
        event.state = event.client->GetState();
    }

    void OnTimers(Clock::time_point now) {
        std::vector<SdOutgoing> out;
        for (auto& entry : services_) {
            if (auto service = entry.second.lock()) {
                service->server->OnTimer(now, out);
                service->RefreshSubscribers();
                service->sd->channel.Send(out);
                LogSendFailures(*service);
            }
        }
        for (ConsumedEvent* event : consumers_) {
            event->client->OnTimer(now, out);
            event->sd.Send(out);
            event->state = event->client->GetState();
            LogDrops(*event);
        }
    }

    void LogDrops(ConsumedEvent& event) {
        const std::uint64_t total = event.path.Drops().Total();
        if (total != event.loggedDrops &&
            log_->LimitedEntry("SomeipEventReceiver_" + std::to_string(event.serviceId) + "_" +
                                   std::to_string(event.network.eventId),
                               1000, 1)) {
            event.loggedDrops = total;
            log_->Get().LogWarn(ARA_LOG_HERE)
                << "[SomeipEventReceiver][Messages dropped][serviceId="
                << static_cast<unsigned int>(event.serviceId)
                << ", eventId=" << static_cast<unsigned int>(event.network.eventId | kEventBit) << "] "
                << event.path.Drops().Describe();
        }
    }

    void LogSendFailures(ProvidedService& service) {
        const std::uint64_t failed = service.failedDatagrams.load();
        if (failed != 0 &&
            log_->LimitedEntry("SomeipEventPublisher_" + std::to_string(service.serviceId), 1000, 1)) {
            log_->Get().LogWarn(ARA_LOG_HERE) << "[SomeipEventPublisher][Datagrams not sent][serviceId="
                                              << static_cast<unsigned int>(service.serviceId)
                                              << ", failed=" << static_cast<unsigned int>(failed) << "]";
        }
    }

    int TimeoutMs(Clock::time_point now) const {
        Clock::time_point next = now + kLogPeriod;
        for (const auto& entry : services_) {
            if (auto service = entry.second.lock()) {
                next = std::min(next, service->server->NextDeadline());
            }
        }
        for (const ConsumedEvent* event : consumers_) {
            next = std::min(next, event->client->NextDeadline());
        }
        if (next <= now) {
            return 0;
        }
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
    }

    void Loop() {
        int ready[16];
        int timeout = 0;
        while (!stop_) {
            const int count = poller_.Wait(ready, 16, timeout);
            std::lock_guard<std::mutex> lock(mutex_);
            for (int i = 0; i < count; ++i) {
                if (auto handler = handlers_.find(ready[i]); handler != handlers_.end()) {
                    handler->second();
                }
            }
            const Clock::time_point now = Clock::now();
            OnTimers(now);
            timeout = TimeoutMs(Clock::now());
        }
    }

    std::mutex mutex_;
    Poller poller_;
    std::shared_ptr<vrt::cm::utils::CmLogger> log_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::map<int, std::function<void()>> handlers_;
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::weak_ptr<ProvidedService>> services_;
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::weak_ptr<SharedSd>> sdSockets_;
    std::vector<ConsumedEvent*> consumers_;
    DatagramBatch batch_{kBatch};
};

// ---- publisher ----

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
    std::vector<std::uint8_t> buffer;  // the serialized payload, reused
    std::vector<Endpoint> targets;     // a copy of the subscribers, reused
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

ara::core::Result<std::unique_ptr<SomeipEventPublisher>, std::string> SomeipEventPublisher::Create(
    std::uint16_t serviceId, const NetworkDeployment& network) {
    using R = ara::core::Result<std::unique_ptr<SomeipEventPublisher>, std::string>;
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
    return it != impl_->service->subscribers.end() && !it->second.empty();
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
    }
    Header header;
    header.serviceId = impl.service->serviceId;
    header.methodId = impl.eventId;
    header.interfaceVersion = impl.interfaceVersion;
    header.sessionId = impl.session.Next();  // counts every send, so that receivers see what they missed
    if (impl.targets.empty()) {
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
    return SendStatus::kSent;
}

std::uint64_t SomeipEventPublisher::FailedDatagrams() const noexcept {
    return impl_->service->failedDatagrams.load(std::memory_order_relaxed);
}

// ---- receiver ----

ara::core::Result<std::unique_ptr<SomeipEventReceiver>, std::string> SomeipEventReceiver::Create(
    std::uint16_t serviceId, const NetworkDeployment& network, std::uint64_t queueCapacity) {
    using R = ara::core::Result<std::unique_ptr<SomeipEventReceiver>, std::string>;
    if (queueCapacity == 0) {
        return R::FromError("queue capacity 0; expected at least 1 sample");
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
        pollfd ready{event_->events.Descriptor(), POLLIN, 0};
        const auto wait = std::min<Clock::duration>(left, tick);
        (void)::poll(&ready, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
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
