#include "someip_sd_state.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace vrt::cm::someip {

namespace {

bool Matches(const SdEntry& entry, const ServiceInstance& service) {
    return entry.serviceId == service.serviceId &&
           (entry.instanceId == service.instanceId || entry.instanceId == kAnyInstance);
}

// A FindService names the versions it wants, or any.
bool VersionsMatch(const SdEntry& find, const ServiceInstance& service) {
    return (find.majorVersion == kAnyMajorVersion || find.majorVersion == service.majorVersion) &&
           (find.minorVersion == kAnyMinorVersion || find.minorVersion == service.minorVersion);
}

bool SameEntry(const SdEntry& a, const SdEntry& b) {
    return a.type == b.type && a.serviceId == b.serviceId && a.instanceId == b.instanceId &&
           a.majorVersion == b.majorVersion && a.ttl == b.ttl && a.minorVersion == b.minorVersion &&
           a.eventgroupId == b.eventgroupId && a.counter == b.counter && a.endpoint == b.endpoint &&
           a.multicast == b.multicast && a.tcpEndpoint == b.tcpEndpoint;
}

// Indexed by SdRefusal.
constexpr const char* kRefusalNames[] = {"foreignSender",      "foreignEndpoint", "tooManySubscribers",
                                         "protocolNotOffered", "notConnected",    "notOffered"};
static_assert(std::size(kRefusalNames) == static_cast<std::size_t>(SdRefusal::kCount));

SdOutgoing One(const Endpoint& to, const SdEntry& entry) {
    SdOutgoing outgoing{to, SdMessage{}};
    outgoing.message.entries.push_back(entry);
    return outgoing;
}

std::chrono::seconds Seconds(std::uint32_t ttl) {
    return std::chrono::seconds(ttl);
}

}  // namespace

const char* ToString(SdRefusal refusal) noexcept {
    const auto index = static_cast<std::size_t>(refusal);
    return index < std::size(kRefusalNames) ? kRefusalNames[index] : "unknown";
}

std::uint64_t SdRefusalCounts::Total() const noexcept {
    std::uint64_t total = 0;
    for (const std::uint64_t count : counts_) {
        total += count;
    }
    return total;
}

std::string SdRefusalCounts::Describe() const {
    std::string text;
    for (std::size_t i = 0; i < std::size(counts_); ++i) {
        if (counts_[i] != 0) {
            text +=
                (text.empty() ? "" : " ") + std::string(kRefusalNames[i]) + "=" + std::to_string(counts_[i]);
        }
    }
    return text;
}

// ---- server ----

SdServer::SdServer(ServiceInstance service, std::set<std::uint16_t> eventgroups, Endpoint eventEndpoint,
                   SdTiming timing, std::optional<Endpoint> multicast, SdServerPolicy policy)
    : service_(service),
      eventgroups_(std::move(eventgroups)),
      eventEndpoint_(eventEndpoint),
      timing_(timing),
      multicast_(multicast),
      policy_(std::move(policy)) {}

SdEntry SdServer::OfferEntry(std::uint32_t ttl) const {
    SdEntry entry;
    entry.type = EntryType::kOfferService;
    entry.serviceId = service_.serviceId;
    entry.instanceId = service_.instanceId;
    entry.majorVersion = service_.majorVersion;
    entry.minorVersion = service_.minorVersion;
    entry.ttl = ttl;
    entry.endpoint = eventEndpoint_;
    entry.tcpEndpoint = tcpEndpoint_;
    return entry;
}

std::set<Endpoint> SdServer::OfferTargets() const {
    std::set<Endpoint> targets;
    if (multicast_) {
        targets.insert(*multicast_);
    }
    for (const auto& peer : peers_) {
        targets.insert(peer.first);
    }
    return targets;
}

void SdServer::Offer(SdClock::time_point now, std::vector<SdOutgoing>& out) {
    offered_ = true;
    for (const Endpoint& to : OfferTargets()) {
        out.push_back(One(to, OfferEntry(timing_.offerTtl)));
    }
    nextOffer_ = now + timing_.offerInterval;
}

void SdServer::StopOffer(std::vector<SdOutgoing>& out) {
    if (!offered_) {
        return;
    }
    for (const Endpoint& to : OfferTargets()) {
        out.push_back(One(to, OfferEntry(0)));
    }
    offered_ = false;
    subscriptions_.clear();
}

std::optional<SdServer::SubscriptionKey> SdServer::KeyOf(const SdEntry& entry) {
    if (entry.endpoint && !entry.multicast) {
        return SubscriptionKey{entry.eventgroupId, false, *entry.endpoint};
    }
    if (entry.tcpEndpoint) {
        return SubscriptionKey{entry.eventgroupId, true, *entry.tcpEndpoint};
    }
    return std::nullopt;
}

std::optional<SdRefusal> SdServer::Refuse(const SdEntry& entry, const Endpoint& from) const {
    const auto key = KeyOf(entry);
    if (!offered_ || entry.majorVersion != service_.majorVersion ||
        eventgroups_.count(entry.eventgroupId) == 0 || !key || key->endpoint.port == 0) {
        return SdRefusal::kNotOffered;
    }
    if (key->tcp && !tcpEndpoint_) {
        return SdRefusal::kProtocolNotOffered;
    }
    // Events go where the subscription says: only to the subscriber itself, unless the deployment names
    // the network, or anyone could turn the stream on a third host.
    if (key->endpoint.address != from.address &&
        !AnyContains(policy_.foreignEndpoints, key->endpoint.address)) {
        return SdRefusal::kForeignEndpoint;
    }
    if (key->tcp && tcpPeers_.count(key->endpoint) == 0) {
        return SdRefusal::kNotConnected;
    }
    if (subscriptions_.count(*key) == 0 && SubscriberCount(entry.eventgroupId) >= policy_.maxSubscribers) {
        return SdRefusal::kTooManySubscribers;
    }
    return std::nullopt;
}

std::size_t SdServer::SubscriberCount(std::uint16_t eventgroup) const {
    return Subscribers(eventgroup, false).size() + Subscribers(eventgroup, true).size();
}

void SdServer::TcpClosed(const Endpoint& peer) {
    tcpPeers_.erase(peer);
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
        it = it->first.tcp && it->first.endpoint == peer ? subscriptions_.erase(it) : std::next(it);
    }
}

void SdServer::RememberPeer(const Endpoint& peer, SdClock::time_point until) {
    auto it = peers_.find(peer);
    if (it == peers_.end()) {
        if (peers_.size() >= policy_.maxPeers) {
            // The peer closest to expiry gives way, so that the table stays bounded under a flood.
            peers_.erase(std::min_element(peers_.begin(), peers_.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; }));
        }
        peers_.emplace(peer, until);
        return;
    }
    it->second = std::max(it->second, until);
}

void SdServer::OnMessage(const SdMessage& message, const Endpoint& from, SdClock::time_point now,
                         std::vector<SdOutgoing>& out) {
    const bool allowed = policy_.allowedSenders.empty() || AnyContains(policy_.allowedSenders, from.address);
    for (const SdEntry& entry : message.entries) {
        if (!Matches(entry, service_) ||
            (entry.type != EntryType::kFindService && entry.type != EntryType::kSubscribeEventgroup)) {
            continue;
        }
        if (!allowed) {
            refusals_.Count(SdRefusal::kForeignSender);  // not answered: an answer would reflect a flood
            continue;
        }
        if (entry.type == EntryType::kFindService) {
            if (!VersionsMatch(entry, service_)) {
                continue;
            }
            // Keep offering to whoever looks for the service, for as long as an offer would be valid.
            RememberPeer(from, now + Seconds(timing_.offerTtl));
            if (offered_) {
                out.push_back(One(from, OfferEntry(timing_.offerTtl)));
            }
            continue;
        }
        if (entry.ttl == 0) {
            // StopSubscribe: only for an endpoint its sender may speak for.
            const auto key = KeyOf(entry);
            if (key && (key->endpoint.address == from.address ||
                        AnyContains(policy_.foreignEndpoints, key->endpoint.address))) {
                subscriptions_.erase(*key);
            }
            continue;
        }
        SdEntry answer = entry;
        answer.type = EntryType::kSubscribeEventgroupAck;
        answer.endpoint.reset();
        answer.instanceId = service_.instanceId;
        if (const auto refusal = Refuse(entry, from)) {
            refusals_.Count(*refusal);
            answer.ttl = 0;  // Nack
        } else {
            answer.ttl = std::min(entry.ttl, policy_.maxSubscribeTtl);
            subscriptions_[*KeyOf(entry)] = now + Seconds(answer.ttl);
            RememberPeer(from, now + Seconds(answer.ttl));
        }
        out.push_back(One(from, answer));
    }
}

void SdServer::OnTimer(SdClock::time_point now, std::vector<SdOutgoing>& out) {
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
        it = it->second <= now ? subscriptions_.erase(it) : std::next(it);
    }
    for (auto it = peers_.begin(); it != peers_.end();) {
        it = it->second <= now ? peers_.erase(it) : std::next(it);
    }
    if (offered_ && now >= nextOffer_) {
        Offer(now, out);
    }
}

SdClock::time_point SdServer::NextDeadline() const noexcept {
    SdClock::time_point next = offered_ ? nextOffer_ : SdClock::time_point::max();
    for (const auto& subscription : subscriptions_) {
        next = std::min(next, subscription.second);
    }
    for (const auto& peer : peers_) {
        next = std::min(next, peer.second);
    }
    return next;
}

std::vector<Endpoint> SdServer::Subscribers(std::uint16_t eventgroup, bool tcp) const {
    std::vector<Endpoint> endpoints;
    for (auto it = subscriptions_.lower_bound(SubscriptionKey{eventgroup, tcp, Endpoint{}});
         it != subscriptions_.end() && it->first.eventgroup == eventgroup && it->first.tcp == tcp; ++it) {
        endpoints.push_back(it->first.endpoint);
    }
    return endpoints;
}

// ---- client ----

SdClient::SdClient(ServiceInstance service, std::uint16_t eventgroup, Endpoint server, Endpoint eventEndpoint,
                   SdTiming timing, std::vector<Ipv4Range> otherProviders, bool reliable)
    : service_(service),
      eventgroup_(eventgroup),
      server_(server),
      eventEndpoint_(eventEndpoint),
      timing_(timing),
      otherProviders_(std::move(otherProviders)),
      reliable_(reliable) {}

bool SdClient::Trusted(const SdEntry& offer, const Endpoint& from) const {
    const auto provider = [this](std::uint32_t address) {
        return address == server_.address || AnyContains(otherProviders_, address);
    };
    if (!provider(from.address)) {
        return false;
    }
    if (reliable_) {
        return offer.tcpEndpoint && provider(offer.tcpEndpoint->address);
    }
    return offer.endpoint && !offer.multicast && provider(offer.endpoint->address);
}

std::optional<Endpoint> SdClient::WantedConnection() const noexcept {
    const bool offered = state_ == State::kConnecting || state_ == State::kSubscribing ||
                         state_ == State::kSubscribed || state_ == State::kRefused;
    return reliable_ && offered ? serviceTcpEndpoint_ : std::nullopt;
}

void SdClient::OnConnected(const Endpoint& local, SdClock::time_point now, std::vector<SdOutgoing>& out) {
    if (!reliable_ || state_ != State::kConnecting) {
        return;
    }
    tcpLocal_ = local;
    Subscribe(now, out);
}

void SdClient::OnConnectionLost() {
    tcpLocal_.reset();
    if (state_ == State::kSubscribing || state_ == State::kSubscribed || state_ == State::kRefused) {
        state_ = State::kConnecting;
    }
}

void SdClient::Start(SdClock::time_point now, std::vector<SdOutgoing>& out) {
    Search(now, out);
}

SdEntry SdClient::Entry(EntryType type, std::uint32_t ttl) const {
    SdEntry entry;
    entry.type = type;
    entry.serviceId = service_.serviceId;
    entry.instanceId = service_.instanceId;
    entry.majorVersion = service_.majorVersion;
    entry.ttl = ttl;
    if (type == EntryType::kFindService) {
        entry.minorVersion = 0xFFFFFFFFU;  // any minor version
    } else if (reliable_) {
        entry.eventgroupId = eventgroup_;
        entry.tcpEndpoint = tcpLocal_;
    } else {
        entry.eventgroupId = eventgroup_;
        entry.endpoint = eventEndpoint_;
    }
    return entry;
}

void SdClient::Search(SdClock::time_point now, std::vector<SdOutgoing>& out) {
    state_ = State::kSearching;
    serverSd_.reset();
    serviceEndpoint_.reset();
    serviceTcpEndpoint_.reset();
    tcpLocal_.reset();
    out.push_back(One(server_, Entry(EntryType::kFindService, timing_.offerTtl)));
    nextAction_ = now + timing_.offerInterval;
}

void SdClient::Subscribe(SdClock::time_point now, std::vector<SdOutgoing>& out) {
    out.push_back(One(*serverSd_, Entry(EntryType::kSubscribeEventgroup, timing_.subscribeTtl)));
    if (state_ != State::kSubscribed) {
        state_ = State::kSubscribing;
    }
    nextAction_ = now + timing_.offerInterval;
}

void SdClient::Stop(std::vector<SdOutgoing>& out) {
    if ((state_ == State::kSubscribing || state_ == State::kSubscribed) && serverSd_ &&
        (!reliable_ || tcpLocal_)) {
        out.push_back(One(*serverSd_, Entry(EntryType::kSubscribeEventgroup, 0)));  // StopSubscribe
    }
    state_ = State::kStopped;
}

void SdClient::OnMessage(const SdMessage& message, const Endpoint& from, SdClock::time_point now,
                         std::vector<SdOutgoing>& out) {
    if (state_ == State::kStopped) {
        return;
    }
    for (const SdEntry& entry : message.entries) {
        if (entry.serviceId != service_.serviceId || entry.instanceId != service_.instanceId ||
            entry.majorVersion != service_.majorVersion) {
            continue;
        }
        if (entry.type == EntryType::kOfferService) {
            if (entry.ttl == 0) {
                if (serverSd_ && *serverSd_ == from) {
                    Search(now, out);  // StopOffer: the events stop, look for the next offer
                }
                continue;
            }
            if (!Trusted(entry, from)) {
                ++foreignOffers_;
                continue;
            }
            const bool moved = serviceEndpoint_ != entry.endpoint || serviceTcpEndpoint_ != entry.tcpEndpoint;
            serverSd_ = from;
            serviceEndpoint_ = entry.endpoint;
            offerExpiry_ = now + Seconds(entry.ttl);
            if (reliable_) {
                if (moved) {
                    serviceTcpEndpoint_ = entry.tcpEndpoint;
                    tcpLocal_.reset();  // the caller connects to the new endpoint first
                }
                if (!tcpLocal_) {
                    state_ = State::kConnecting;
                    continue;
                }
            }
            if (moved && state_ == State::kSubscribed) {
                state_ = State::kSubscribing;
            }
            // Every offer renews the subscription.
            Subscribe(now, out);
        } else if (entry.type == EntryType::kSubscribeEventgroupAck && entry.eventgroupId == eventgroup_ &&
                   serverSd_ && *serverSd_ == from) {
            if (entry.ttl == 0) {
                state_ = State::kRefused;
            } else if (state_ == State::kSubscribing || state_ == State::kSubscribed) {
                state_ = State::kSubscribed;
                subscriptionExpiry_ = now + Seconds(entry.ttl);
            }
        }
    }
}

void SdClient::OnTimer(SdClock::time_point now, std::vector<SdOutgoing>& out) {
    switch (state_) {
        case State::kStopped:
            return;
        case State::kSearching:
            if (now >= nextAction_) {
                Search(now, out);
            }
            return;
        default:
            break;
    }
    if (now >= offerExpiry_) {
        Search(now, out);  // the offer's TTL ran out without a renewal
        return;
    }
    if (state_ == State::kConnecting) {
        return;
    }
    if (state_ == State::kSubscribed && now >= subscriptionExpiry_) {
        state_ = State::kSubscribing;
        Subscribe(now, out);
    } else if (state_ == State::kSubscribing && now >= nextAction_) {
        Subscribe(now, out);
    }
}

SdClock::time_point SdClient::NextDeadline() const noexcept {
    switch (state_) {
        case State::kStopped:
            return SdClock::time_point::max();
        case State::kSearching:
            return nextAction_;
        case State::kSubscribing:
            return std::min(offerExpiry_, nextAction_);
        case State::kSubscribed:
            return std::min(offerExpiry_, subscriptionExpiry_);
        case State::kRefused:
        case State::kConnecting:
            return offerExpiry_;
    }
    return SdClock::time_point::max();
}

// ---- helpers of the runtime ----

void MergeByDestination(std::vector<SdOutgoing>& out, std::size_t maxEntries) {
    std::vector<SdOutgoing> merged;
    std::map<Endpoint, std::size_t> open;  // the destination's message still taking entries
    for (SdOutgoing& outgoing : out) {
        for (const SdEntry& entry : outgoing.message.entries) {
            auto at = open.find(outgoing.to);
            if (at != open.end()) {
                auto& entries = merged[at->second].message.entries;
                if (std::any_of(entries.begin(), entries.end(),
                                [&entry](const SdEntry& e) { return SameEntry(e, entry); })) {
                    continue;
                }
                if (entries.size() < maxEntries) {
                    entries.push_back(entry);
                    continue;
                }
            }
            merged.push_back(SdOutgoing{outgoing.to, SdMessage{}});
            merged.back().message.unicast = outgoing.message.unicast;
            merged.back().message.entries.push_back(entry);
            open[outgoing.to] = merged.size() - 1;
        }
    }
    out = std::move(merged);
}

SdSessions::Next SdSessions::For(const Endpoint& to) {
    auto it = partners_.find(to);
    if (it == partners_.end()) {
        if (partners_.size() >= maxPartners_) {
            partners_.erase(
                std::min_element(partners_.begin(), partners_.end(),
                                 [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
        }
        it = partners_.emplace(to, Partner{}).first;
    }
    Partner& partner = it->second;
    partner.used = ++uses_;
    const Next next{partner.next, partner.reboot};
    if (partner.next == 0xFFFFU) {
        partner.next = 1;
        partner.reboot = false;  // the ids wrapped: from now on a peer seeing the flag knows we restarted
    } else {
        ++partner.next;
    }
    return next;
}

}  // namespace vrt::cm::someip
