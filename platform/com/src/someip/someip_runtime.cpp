#include "someip_runtime.h"

#include <sys/socket.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <set>

namespace vrt::cm::someip {

namespace {

using Clock = SdClock;

// Room for bursts of key-frame segments while the receiving thread is busy.
constexpr std::size_t kSocketBufferBytes = 8U * 1024U * 1024U;
constexpr auto kLogPeriod = std::chrono::seconds(1);

// SD messages a socket gives the loop per turn: enough for any honest peer, few enough that a flood
// cannot keep timers and callers waiting.
constexpr std::size_t kSdCallsPerTurn = 1;

SdServerPolicy PolicyOf(const NetworkDeployment& network) {
    SdServerPolicy policy;
    policy.allowedSenders = network.allowedSubscribers;
    policy.foreignEndpoints = network.subscriberEndpoints;
    policy.maxSubscribers = network.maxSubscribers;
    policy.maxSubscribeTtl = network.maxSubscribeTtl;
    return policy;
}

// A socket that receives the SD multicast group's messages at the SD port, shared with every other SD
// participant of the host; bound to the group, so that no unicast datagram reaches it.
TransportResult<UdpSocket> BindGroupSocket(std::uint32_t group, std::uint16_t sdPort,
                                           std::uint32_t interfaceAddress) {
    using R = TransportResult<UdpSocket>;
    UdpSocket::Options options;
    options.reuseAddress = true;
    auto bound = UdpSocket::Bind(Endpoint{group, sdPort}, options);
    if (!bound.HasValue()) {
        return R::FromError(bound.Error().WithContext("service discovery multicast socket: "));
    }
    auto joined = bound.Value().JoinGroup(group, interfaceAddress);
    if (!joined.HasValue()) {
        return R::FromError(joined.Error().WithContext("service discovery multicast socket: "));
    }
    return bound;
}

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

// An event socket, provider's or consumer's, with buffers for bursts.
TransportResult<UdpSocket> BindEventSocket(const Endpoint& local) {
    using R = TransportResult<UdpSocket>;
    UdpSocket::Options options;
    options.bufferBytes = kSocketBufferBytes;
    auto bound = UdpSocket::Bind(local, options);
    if (!bound.HasValue()) {
        return R::FromError(bound.Error().WithContext("event socket: "));
    }
    return bound;
}

}  // namespace

void SdChannel::Send(std::vector<SdOutgoing>& out) {
    MergeByDestination(out);
    for (SdOutgoing& outgoing : out) {
        const SdSessions::Next next = sessions.For(outgoing.to);
        outgoing.message.reboot = next.reboot;
        const std::vector<std::uint8_t> bytes = EncodeSd(outgoing.message, next.sessionId);
        (void)socket.SendTo(outgoing.to, bytes.data(), bytes.size());
    }
    out.clear();
}

TransportResult<std::shared_ptr<Runtime>> Runtime::Instance() {
    using R = TransportResult<std::shared_ptr<Runtime>>;
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

Runtime::~Runtime() {
    stop_ = true;
    poller_.Wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

TransportResult<std::shared_ptr<ProvidedService>> Runtime::Provide(std::uint16_t serviceId,
                                                                   const NetworkDeployment& network) {
    using R = TransportResult<std::shared_ptr<ProvidedService>>;
    auto lock = CallerLock();
    const auto key = std::make_pair(serviceId, network.instanceId);
    if (auto existing = services_[key].lock()) {
        if (!existing->network.SameServiceEndpoint(network)) {
            return R::FromError(TransportError{
                TransportErrorCode::kBadConfiguration,
                "service " + std::to_string(serviceId) + " instance " + std::to_string(network.instanceId) +
                    ": its events disagree on the instance's network settings (address, port, sdPort, "
                    "sdMulticast, versions, offerIntervalMs, offerTtl, the subscriber rules)"});
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
    auto events = BindEventSocket(Endpoint{network.address, network.port});
    if (!events.HasValue()) {
        return R::FromError(events.Error());
    }
    service->events = std::move(events).Value();
    const auto sdKey = std::make_pair(network.address, network.sdPort);
    service->sd = sdSockets_[sdKey].lock();
    if (!service->sd) {
        // The SD port is shared with the host's other SD participants, as SOME/IP-SD implementations do.
        UdpSocket::Options sdOptions;
        sdOptions.reuseAddress = true;
        if (network.sdMulticast) {
            sdOptions.multicastInterface = network.address;
        }
        auto sd = UdpSocket::Bind(Endpoint{network.address, network.sdPort}, sdOptions);
        if (!sd.HasValue()) {
            return R::FromError(sd.Error().WithContext("service discovery socket: "));
        }
        auto shared = std::make_shared<SharedSd>();
        shared->channel.socket = std::move(sd).Value();
        if (network.sdMulticast) {
            auto group = BindGroupSocket(*network.sdMulticast, network.sdPort, network.address);
            if (!group.HasValue()) {
                return R::FromError(group.Error());
            }
            shared->group = std::move(group).Value();
        }
        SharedSd* raw = shared.get();
        auto added = Register(raw->channel.socket.Descriptor(),
                              [this, raw] { OnProviderSd(*raw, raw->channel.socket); });
        if (added.HasValue() && raw->group.Descriptor() >= 0) {
            added = Register(raw->group.Descriptor(), [this, raw] { OnProviderSd(*raw, raw->group); });
            if (!added.HasValue()) {
                Unregister(raw->channel.socket.Descriptor());
            }
        }
        if (!added.HasValue()) {
            return R::FromError(added.Error());
        }
        service->sd = std::move(shared);
        sdSockets_[sdKey] = service->sd;
    }
    std::optional<Endpoint> multicast;
    if (network.sdMulticast) {
        multicast = Endpoint{*network.sdMulticast, network.sdPort};
    }
    if (network.tcpPort != 0) {
        auto listener = ListenTcp(Endpoint{network.address, network.tcpPort});
        if (!listener.HasValue()) {
            return R::FromError(listener.Error().WithContext("event socket (TCP): "));
        }
        service->tcpListener = std::move(listener).Value();
    }
    service->server = std::make_unique<SdServer>(
        InstanceOf(serviceId, network), std::set<std::uint16_t>{network.eventgroupId},
        service->events.Local(), TimingOf(network), multicast, PolicyOf(network));
    if (service->tcpListener.valid()) {
        ProvidedService* raw = service.get();
        auto added = Register(raw->tcpListener.get(), [this, raw] { OnTcpAccept(*raw); });
        if (!added.HasValue()) {
            return R::FromError(added.Error());
        }
        service->server->OfferTcp(Endpoint{network.address, network.tcpPort});
    }
    service->subscribers[network.eventgroupId];
    service->sd->services.push_back(service.get());
    service->publishers = 1;
    services_[key] = service;
    return R::FromValue(service);
}

// One event of the instance goes; the last one withdraws the instance and takes it out of discovery, so
// that the loop no longer reaches it (whoever holds it last closes its sockets).
void Runtime::ReleaseService(ProvidedService& service) {
    auto lock = CallerLock();
    if (--service.publishers > 0) {
        return;
    }
    services_.erase(std::make_pair(service.serviceId, service.network.instanceId));
    std::vector<SdOutgoing> out;
    service.server->StopOffer(out);
    service.sd->channel.Send(out);
    if (service.tcpListener.valid()) {
        Unregister(service.tcpListener.get());
        for (const auto& [peer, connection] : service.tcpConnections) {
            Unregister(connection->Descriptor());
        }
        service.tcpConnections.clear();
        closing_.erase(std::remove_if(closing_.begin(), closing_.end(),
                                      [&service](const auto& entry) { return entry.first == &service; }),
                       closing_.end());
        service.RefreshSubscribers();
    }
    auto& list = service.sd->services;
    list.erase(std::remove(list.begin(), list.end(), &service), list.end());
    if (list.empty()) {
        Unregister(service.sd->channel.socket.Descriptor());
        if (service.sd->group.Descriptor() >= 0) {
            Unregister(service.sd->group.Descriptor());
        }
        sdSockets_.erase(std::make_pair(service.network.address, service.network.sdPort));
    }
}

void Runtime::Offer(ProvidedService& service) {
    auto lock = CallerLock();
    if (service.offers++ == 0) {
        std::vector<SdOutgoing> out;
        service.server->Offer(Clock::now(), out);
        service.sd->channel.Send(out);
        service.offered = true;
        poller_.Wake();
    }
}

void Runtime::StopOffer(ProvidedService& service) {
    auto lock = CallerLock();
    if (service.offers > 0 && --service.offers == 0) {
        std::vector<SdOutgoing> out;
        service.server->StopOffer(out);
        service.sd->channel.Send(out);
        service.offered = false;
        service.RefreshSubscribers();
    }
}

TransportResult<void> Runtime::Consume(const std::shared_ptr<ConsumedEvent>& event) {
    using R = TransportResult<void>;
    const NetworkDeployment& network = event->network;
    auto events = BindEventSocket(Endpoint{network.clientAddress, network.clientPort});
    if (!events.HasValue()) {
        return R::FromError(events.Error());
    }
    event->events = std::move(events).Value();
    // Find and Subscribe leave from, and answers come back to, a port of the subscriber's own; offers to
    // the multicast group arrive on the group's shared socket.
    UdpSocket::Options sdOptions;
    if (network.sdMulticast) {
        sdOptions.multicastInterface = network.clientAddress;
    }
    auto sd = UdpSocket::Bind(Endpoint{network.clientAddress, 0}, sdOptions);
    if (!sd.HasValue()) {
        return R::FromError(sd.Error().WithContext("service discovery socket: "));
    }
    event->sd.socket = std::move(sd).Value();
    if (network.sdMulticast) {
        auto group = BindGroupSocket(*network.sdMulticast, network.sdPort, network.clientAddress);
        if (!group.HasValue()) {
            return R::FromError(group.Error());
        }
        event->sdGroup = std::move(group).Value();
    }
    event->client =
        std::make_unique<SdClient>(InstanceOf(event->serviceId, network), network.eventgroupId,
                                   Endpoint{network.address, network.sdPort}, event->events.Local(),
                                   TimingOf(network), network.allowedProviders, network.reliable);
    auto lock = CallerLock();
    ConsumedEvent* raw = event.get();
    auto added = Register(raw->sd.socket.Descriptor(), [this, raw] { OnConsumerSd(*raw, raw->sd.socket); });
    if (added.HasValue() && raw->sdGroup.Descriptor() >= 0) {
        added = Register(raw->sdGroup.Descriptor(), [this, raw] { OnConsumerSd(*raw, raw->sdGroup); });
        if (!added.HasValue()) {
            Unregister(raw->sd.socket.Descriptor());
        }
    }
    if (!added.HasValue()) {
        return added;
    }
    std::vector<SdOutgoing> out;
    raw->client->Start(Clock::now(), out);
    raw->sd.Send(out);
    UpdateFromClient(*raw);
    consumers_.push_back(raw);
    poller_.Wake();
    return {};
}

void Runtime::ReleaseConsumer(ConsumedEvent& event) {
    auto lock = CallerLock();
    if (!event.client) {
        return;
    }
    std::vector<SdOutgoing> out;
    event.client->Stop(out);
    event.sd.Send(out);
    Unregister(event.sd.socket.Descriptor());
    if (event.sdGroup.Descriptor() >= 0) {
        Unregister(event.sdGroup.Descriptor());
    }
    if (event.connecting.valid()) {
        Unregister(event.connecting.get());
        event.connecting.reset();
    }
    consumers_.erase(std::remove(consumers_.begin(), consumers_.end(), &event), consumers_.end());
}

Runtime::Runtime(Poller poller)
    : poller_(std::move(poller)), log_(vrt::cm::utils::LogInitializer::GetLogger()) {}

std::unique_lock<std::mutex> Runtime::CallerLock() {
    callersWaiting_.fetch_add(1, std::memory_order_acq_rel);
    std::unique_lock<std::mutex> lock(mutex_);
    callersWaiting_.fetch_sub(1, std::memory_order_acq_rel);
    callersDone_.notify_all();
    return lock;
}

TransportResult<void> Runtime::Register(int fd, std::function<void()> handler) {
    auto added = poller_.Add(fd);
    if (added.HasValue()) {
        handlers_[fd] = std::move(handler);
    }
    return added;
}

void Runtime::Unregister(int fd) {
    poller_.Remove(fd);
    handlers_.erase(fd);
}

void Runtime::OnProviderSd(SharedSd& sd, const UdpSocket& socket) {
    std::vector<SdOutgoing> out;
    batch_.Drain(
        socket,
        [&](const std::uint8_t* data, std::size_t size, const Endpoint& from, bool) {
            const DecodedSd decoded = DecodeSd(data, size);
            if (!decoded.message || from == sd.channel.socket.Local()) {
                return;  // not SD, or our own offer to the group coming back
            }
            const Clock::time_point now = Clock::now();
            for (ProvidedService* service : sd.services) {
                if (service->tcpListener.valid()) {
                    OnTcpAccept(*service);  // a subscription over TCP follows its connection
                }
                service->server->OnMessage(*decoded.message, from, now, out);
                service->RefreshSubscribers();
            }
            NackUnknown(*decoded.message, sd, from, out);
        },
        kSdCallsPerTurn);
    sd.channel.Send(out);
}

// A subscription to a service this socket does not offer gets a Nack.
void Runtime::NackUnknown(const SdMessage& message, const SharedSd& sd, const Endpoint& from,
                          std::vector<SdOutgoing>& out) {
    for (const SdEntry& entry : message.entries) {
        if (entry.type != EntryType::kSubscribeEventgroup || entry.ttl == 0) {
            continue;
        }
        const bool known = std::any_of(sd.services.begin(), sd.services.end(), [&](const ProvidedService* s) {
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

void Runtime::OnConsumerSd(ConsumedEvent& event, const UdpSocket& socket) {
    std::vector<SdOutgoing> out;
    batch_.Drain(
        socket,
        [&](const std::uint8_t* data, std::size_t size, const Endpoint& from, bool) {
            const DecodedSd decoded = DecodeSd(data, size);
            if (decoded.message) {
                event.client->OnMessage(*decoded.message, from, Clock::now(), out);
            }
        },
        kSdCallsPerTurn);
    event.sd.Send(out);
    UpdateFromClient(event);
    ReconcileConnection(event, Clock::now());
}

// What the receiving thread needs from the client's state: whether it is subscribed, where events may come
// from, and the offers the client refused, counted with the event's drops.
void Runtime::UpdateFromClient(ConsumedEvent& event) {
    event.state = event.client->GetState();
    const auto endpoint = event.client->ServiceEndpoint();
    // Over TCP, events come on the connection only: nothing on the event port is taken.
    event.source.store(endpoint && !event.network.reliable ? PackEndpoint(*endpoint) : 0U,
                       std::memory_order_release);
    for (; event.foreignOffers < event.client->ForeignOffers(); ++event.foreignOffers) {
        event.path.Drops().Count(DropReason::kForeignOffer);
    }
}

void Runtime::OnTimers(Clock::time_point now) {
    std::vector<SdOutgoing> out;
    for (auto& entry : services_) {
        if (auto service = entry.second.lock()) {
            service->server->OnTimer(now, out);
            service->RefreshSubscribers();
            service->sd->channel.Send(out);
            LogSendFailures(*service);
            LogRefusals(*service);
            for (const auto& [peer, connection] : service->tcpConnections) {
                connection->Flush();
            }
            LogCutOffs(*service);
        }
    }
    for (ConsumedEvent* event : consumers_) {
        event->client->OnTimer(now, out);
        event->sd.Send(out);
        UpdateFromClient(*event);
        ReconcileConnection(*event, now);
        LogDrops(*event);
    }
}

void Runtime::OnTcpAccept(ProvidedService& service) {
    for (int accepted = 0; accepted < 16; ++accepted) {
        Endpoint peer;
        vcu::os::UniqueFd fd = AcceptTcp(service.tcpListener.get(), peer);
        if (!fd.valid()) {
            return;
        }
        // A connection is only a subscriber once it subscribes; the cap keeps idle ones from piling up.
        if (service.tcpConnections.size() >= service.network.maxSubscribers ||
            service.tcpConnections.count(peer) != 0) {
            continue;  // closed as it goes out of scope
        }
        auto connection =
            std::make_shared<TcpSubscriber>(std::move(fd), peer, service.network.tcpBacklogBytes, poller_);
        ProvidedService* raw = &service;
        if (!Register(connection->Descriptor(), [this, raw, peer] {
                 OnTcpReadable(*raw, peer);
             }).HasValue()) {
            continue;
        }
        service.tcpConnections.emplace(peer, std::move(connection));
        service.server->TcpConnected(peer);
    }
}

void Runtime::OnTcpReadable(ProvidedService& service, const Endpoint& peer) {
    const auto it = service.tcpConnections.find(peer);
    if (it == service.tcpConnections.end()) {
        return;
    }
    // Writable: what waits in the backlog goes. Readable: subscribers have nothing to say on the stream,
    // what they send is read and dropped, and the end of the stream (or a connection cut off by a sender)
    // closes it.
    it->second->Flush();
    std::uint8_t discard[4096];
    const ssize_t got = ::recv(it->second->Descriptor(), discard, sizeof(discard), MSG_DONTWAIT);
    const bool open = got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
    if (!open || it->second->CutOff()) {
        closing_.emplace_back(&service, peer);
    }
}

void Runtime::CloseTcp(ProvidedService& service, const Endpoint& peer) {
    const auto it = service.tcpConnections.find(peer);
    if (it == service.tcpConnections.end()) {
        return;
    }
    if (it->second->CutOff()) {
        service.cutOffSubscribers.fetch_add(1U, std::memory_order_relaxed);
    }
    Unregister(it->second->Descriptor());
    service.tcpConnections.erase(it);
    service.server->TcpClosed(peer);
    service.RefreshSubscribers();
}

void Runtime::ReconcileConnection(ConsumedEvent& event, Clock::time_point now) {
    if (!event.network.reliable) {
        return;
    }
    const std::optional<Endpoint> wanted = event.client->WantedConnection();
    {
        std::lock_guard<std::mutex> lock(event.tcpMutex);
        const bool broken = event.tcpBroken.load(std::memory_order_acquire);
        if (event.tcp.valid() && (broken || !wanted || *wanted != event.tcpPeer)) {
            event.tcp.reset();
            event.tcpDescriptor = -1;
            event.reader.Reset();
            event.tcpBroken = false;
            event.client->OnConnectionLost();
            event.state = event.client->GetState();
        }
        if (event.tcp.valid()) {
            return;
        }
    }
    if (event.connecting.valid() && (!wanted || *wanted != event.connectingTo)) {
        Unregister(event.connecting.get());
        event.connecting.reset();
    }
    if (!wanted || event.connecting.valid() || now < event.nextConnect) {
        return;
    }
    event.nextConnect =
        now + std::chrono::milliseconds(200);  // a refused connection is retried, not hammered
    auto connecting = ConnectTcp(event.network.clientAddress, *wanted);
    if (!connecting.HasValue()) {
        return;
    }
    event.connecting = std::move(connecting).Value();
    event.connectingTo = *wanted;
    ConsumedEvent* raw = &event;
    if (!poller_.AddWritable(event.connecting.get()).HasValue()) {
        event.connecting.reset();
        return;
    }
    handlers_[event.connecting.get()] = [this, raw] { OnConnected(*raw); };
}

void Runtime::OnConnected(ConsumedEvent& event) {
    Unregister(event.connecting.get());
    vcu::os::UniqueFd fd = std::move(event.connecting);
    if (ConnectResult(fd.get()) != 0) {
        return;  // tried again at the next turn after nextConnect
    }
    const Endpoint local = LocalEndpoint(fd.get());
    {
        std::lock_guard<std::mutex> lock(event.tcpMutex);
        event.tcp = std::move(fd);
        event.tcpPeer = event.connectingTo;
        event.tcpDescriptor = event.tcp.get();
        event.reader.Reset();
        event.tcpBroken = false;
    }
    std::vector<SdOutgoing> out;
    event.client->OnConnected(local, Clock::now(), out);
    event.sd.Send(out);
    UpdateFromClient(event);
}

void Runtime::LogCutOffs(ProvidedService& service) {
    const std::uint64_t cut = service.cutOffSubscribers.load(std::memory_order_relaxed);
    if (cut != service.loggedCutOffs &&
        log_->LimitedEntry("SomeipTcpCutOff_" + std::to_string(service.serviceId), 1000, 1)) {
        service.loggedCutOffs = cut;
        log_->Get().LogWarn(ARA_LOG_HERE)
            << "[SomeipEventPublisher][TCP subscribers cut off, too far behind][serviceId="
            << static_cast<unsigned int>(service.serviceId) << ", total=" << static_cast<unsigned int>(cut)
            << "]";
    }
}

void Runtime::LogDrops(ConsumedEvent& event) {
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

void Runtime::LogSendFailures(ProvidedService& service) {
    const std::uint64_t failed = service.failedDatagrams.load();
    if (failed != 0 &&
        log_->LimitedEntry("SomeipEventPublisher_" + std::to_string(service.serviceId), 1000, 1)) {
        log_->Get().LogWarn(ARA_LOG_HERE) << "[SomeipEventPublisher][Datagrams not sent][serviceId="
                                          << static_cast<unsigned int>(service.serviceId)
                                          << ", failed=" << static_cast<unsigned int>(failed) << "]";
    }
}

void Runtime::LogRefusals(ProvidedService& service) {
    const SdRefusalCounts& refusals = service.server->Refusals();
    const std::uint64_t total = refusals.Total();
    if (total != service.loggedRefusals &&
        log_->LimitedEntry("SomeipSdServer_" + std::to_string(service.serviceId), 1000, 1)) {
        service.loggedRefusals = total;
        log_->Get().LogWarn(ARA_LOG_HERE)
            << "[SomeipEventPublisher][Subscriptions refused][serviceId="
            << static_cast<unsigned int>(service.serviceId)
            << ", instanceId=" << static_cast<unsigned int>(service.network.instanceId) << "] "
            << refusals.Describe();
    }
}

int Runtime::TimeoutMs(Clock::time_point now) const {
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

void Runtime::Loop() {
    int ready[16];
    int timeout = 0;
    while (!stop_) {
        const int count = poller_.Wait(ready, 16, timeout);
        std::unique_lock<std::mutex> lock(mutex_);
        callersDone_.wait(lock, [this] { return callersWaiting_.load(std::memory_order_acquire) == 0; });
        for (int i = 0; i < count; ++i) {
            if (auto found = handlers_.find(ready[i]); found != handlers_.end()) {
                const std::function<void()> handler = found->second;  // a handler may unregister itself
                handler();
            }
        }
        for (const auto& [service, peer] : closing_) {
            CloseTcp(*service, peer);
        }
        closing_.clear();
        const Clock::time_point now = Clock::now();
        OnTimers(now);
        timeout = TimeoutMs(Clock::now());
    }
}

}  // namespace vrt::cm::someip
