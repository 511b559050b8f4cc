#include "vrt/cm/someip/someip_sd_state.h"

#include <algorithm>

namespace vrt::cm::someip {

namespace {

bool Matches(const SdEntry& entry, const ServiceInstance& service) {
    return entry.serviceId == service.serviceId &&
           (entry.instanceId == service.instanceId || entry.instanceId == kAnyInstance);
}

SdOutgoing One(const Endpoint& to, const SdEntry& entry) {
    SdOutgoing outgoing{to, SdMessage{}};
    outgoing.message.entries.push_back(entry);
    return outgoing;
}

std::chrono::seconds Seconds(std::uint32_t ttl) {
    return std::chrono::seconds(ttl);
}

}  // namespace

// ---- server ----

SdServer::SdServer(ServiceInstance service, std::set<std::uint16_t> eventgroups, Endpoint eventEndpoint,
                   SdTiming timing, std::optional<Endpoint> multicast)
    : service_(service),
      eventgroups_(std::move(eventgroups)),
      eventEndpoint_(eventEndpoint),
      timing_(timing),
      multicast_(multicast) {}

SdEntry SdServer::OfferEntry(std::uint32_t ttl) const {
    SdEntry entry;
    entry.type = EntryType::kOfferService;
    entry.serviceId = service_.serviceId;
    entry.instanceId = service_.instanceId;
    entry.majorVersion = service_.majorVersion;
    entry.minorVersion = service_.minorVersion;
    entry.ttl = ttl;
    entry.endpoint = eventEndpoint_;
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

void SdServer::OnMessage(const SdMessage& message, const Endpoint& from, SdClock::time_point now,
                         std::vector<SdOutgoing>& out) {
    for (const SdEntry& entry : message.entries) {
        if (!Matches(entry, service_)) {
            continue;
        }
        if (entry.type == EntryType::kFindService) {
            // Keep offering to whoever looks for the service, for as long as an offer would be valid.
            peers_[from] = now + Seconds(timing_.offerTtl);
            if (offered_) {
                out.push_back(One(from, OfferEntry(timing_.offerTtl)));
            }
        } else if (entry.type == EntryType::kSubscribeEventgroup) {
            if (entry.ttl == 0) {
                if (entry.endpoint) {
                    subscriptions_.erase(SubscriptionKey{entry.eventgroupId, *entry.endpoint});
                }
                continue;
            }
            SdEntry answer = entry;
            answer.type = EntryType::kSubscribeEventgroupAck;
            answer.endpoint.reset();
            answer.instanceId = service_.instanceId;
            const bool accepted = offered_ && entry.majorVersion == service_.majorVersion &&
                                  eventgroups_.count(entry.eventgroupId) != 0 && entry.endpoint &&
                                  !entry.multicast && entry.endpoint->port != 0;
            if (accepted) {
                subscriptions_[SubscriptionKey{entry.eventgroupId, *entry.endpoint}] =
                    now + Seconds(entry.ttl);
                peers_[from] = std::max(peers_[from], now + Seconds(entry.ttl));
            } else {
                answer.ttl = 0;  // Nack
            }
            out.push_back(One(from, answer));
        }
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

std::vector<Endpoint> SdServer::Subscribers(std::uint16_t eventgroup) const {
    std::vector<Endpoint> endpoints;
    for (auto it = subscriptions_.lower_bound(SubscriptionKey{eventgroup, Endpoint{}});
         it != subscriptions_.end() && it->first.eventgroup == eventgroup; ++it) {
        endpoints.push_back(it->first.endpoint);
    }
    return endpoints;
}

// ---- client ----

SdClient::SdClient(ServiceInstance service, std::uint16_t eventgroup, Endpoint server, Endpoint eventEndpoint,
                   SdTiming timing)
    : service_(service),
      eventgroup_(eventgroup),
      server_(server),
      eventEndpoint_(eventEndpoint),
      timing_(timing) {}

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
    if ((state_ == State::kSubscribing || state_ == State::kSubscribed) && serverSd_) {
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
            if (!entry.endpoint || entry.multicast) {
                continue;  // an offer without a unicast UDP endpoint cannot be subscribed to
            }
            const bool moved = !serviceEndpoint_ || *serviceEndpoint_ != *entry.endpoint;
            serverSd_ = from;
            serviceEndpoint_ = entry.endpoint;
            offerExpiry_ = now + Seconds(entry.ttl);
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
            return offerExpiry_;
    }
    return SdClock::time_point::max();
}

}  // namespace vrt::cm::someip
