#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "someip_sd.h"
#include "vrt/cm/someip/someip_status.h"

// The service discovery state machines of one offered service instance (SdServer) and of one consumed
// eventgroup (SdClient). They are driven by received messages and by the clock, and say what to send; they
// never touch a socket, so every state change is testable with a fake clock. Not thread-safe.
namespace vrt::cm::someip {

using SdClock = std::chrono::steady_clock;

struct SdTiming {
    std::chrono::milliseconds offerInterval{1000};  // cyclic offers, and FindService while searching
    std::uint32_t offerTtl{3};                      // seconds
    std::uint32_t subscribeTtl{3};                  // seconds
};

struct SdOutgoing {
    Endpoint to;
    SdMessage message;
};

// Why a provider refused or ignored what an SD peer asked for.
enum class SdRefusal : std::uint8_t {
    kForeignSender,       // FindService or Subscribe from an address the deployment does not serve: ignored
    kForeignEndpoint,     // a subscription naming an event endpoint other than its sender's own: Nack
    kTooManySubscribers,  // the eventgroup has its maximum of subscribers: Nack
    kProtocolNotOffered,  // a subscription over TCP to an instance offered over UDP only: Nack
    kNotConnected,        // a subscription over TCP without a connection from its endpoint: Nack
    kNotOffered,  // unknown eventgroup, other version, multicast endpoint, or the service not offered: Nack
    kCount,
};

const char* ToString(SdRefusal refusal) noexcept;

// Counts by reason; "foreignEndpoint=2 notConnected=1" for the reasons seen.
class SdRefusalCounts {
  public:
    void Count(SdRefusal refusal) noexcept { ++counts_[static_cast<std::size_t>(refusal)]; }
    std::uint64_t Of(SdRefusal refusal) const noexcept { return counts_[static_cast<std::size_t>(refusal)]; }
    std::uint64_t Total() const noexcept;
    std::string Describe() const;

  private:
    std::uint64_t counts_[static_cast<std::size_t>(SdRefusal::kCount)]{};
};

// Whom a provider serves and what one subscription may cost it.
struct SdServerPolicy {
    std::vector<Ipv4Range> allowedSenders;    // empty: any address may find and subscribe
    std::vector<Ipv4Range> foreignEndpoints;  // endpoint addresses allowed besides the sender's own
    std::size_t maxSubscribers{16};           // per eventgroup
    std::uint32_t maxSubscribeTtl{30};        // seconds
    std::size_t maxPeers{64};                 // SD endpoints that searched, offered to until they expire
};

struct ServiceInstance {
    std::uint16_t serviceId{0};
    std::uint16_t instanceId{0};
    std::uint8_t majorVersion{1};
    std::uint32_t minorVersion{0};
};

class SdServer {
  public:
    // `eventEndpoint` is where subscribers' events come from (named in every offer); `multicast`, when set,
    // receives the cyclic offers in addition to the peers that found or subscribed.
    SdServer(ServiceInstance service, std::set<std::uint16_t> eventgroups, Endpoint eventEndpoint,
             SdTiming timing, std::optional<Endpoint> multicast, SdServerPolicy policy = {});

    // Another event of the instance brings its eventgroup.
    void AddEventgroup(std::uint16_t eventgroup) { eventgroups_.insert(eventgroup); }
    // The instance is offered over TCP as well, at `endpoint`: offers name it, subscriptions may use it.
    void OfferTcp(const Endpoint& endpoint) { tcpEndpoint_ = endpoint; }
    // A subscriber's TCP connection came from `peer`, or went; a subscription over TCP needs one, and
    // ends with it.
    void TcpConnected(const Endpoint& peer) { tcpPeers_.insert(peer); }
    void TcpClosed(const Endpoint& peer);
    void Offer(SdClock::time_point now, std::vector<SdOutgoing>& out);
    // Sends StopOffer to every peer and forgets the subscribers.
    void StopOffer(std::vector<SdOutgoing>& out);
    bool IsOffered() const noexcept { return offered_; }

    void OnMessage(const SdMessage& message, const Endpoint& from, SdClock::time_point now,
                   std::vector<SdOutgoing>& out);
    // Cyclic offers and subscription expiry.
    void OnTimer(SdClock::time_point now, std::vector<SdOutgoing>& out);
    SdClock::time_point NextDeadline() const noexcept;

    // The event endpoints subscribed to `eventgroup` over UDP (or over TCP: their connections' peers),
    // ascending.
    std::vector<Endpoint> Subscribers(std::uint16_t eventgroup, bool tcp = false) const;
    bool HasSubscribers() const noexcept { return !subscriptions_.empty(); }
    const ServiceInstance& Service() const noexcept { return service_; }
    const SdRefusalCounts& Refusals() const noexcept { return refusals_; }

  private:
    struct SubscriptionKey {
        std::uint16_t eventgroup;
        bool tcp;
        Endpoint endpoint;
        bool operator<(const SubscriptionKey& other) const noexcept {
            if (eventgroup != other.eventgroup) {
                return eventgroup < other.eventgroup;
            }
            return tcp != other.tcp ? tcp < other.tcp : endpoint < other.endpoint;
        }
    };
    // What a subscription entry asks for: its UDP endpoint, or else its TCP one.
    static std::optional<SubscriptionKey> KeyOf(const SdEntry& entry);
    SdEntry OfferEntry(std::uint32_t ttl) const;
    std::set<Endpoint> OfferTargets() const;
    // Why `entry` (a subscription from `from`) cannot be granted, if it cannot.
    std::optional<SdRefusal> Refuse(const SdEntry& entry, const Endpoint& from) const;
    std::size_t SubscriberCount(std::uint16_t eventgroup) const;
    void RememberPeer(const Endpoint& peer, SdClock::time_point until);

    ServiceInstance service_;
    std::set<std::uint16_t> eventgroups_;
    Endpoint eventEndpoint_;
    SdTiming timing_;
    std::optional<Endpoint> multicast_;
    std::optional<Endpoint> tcpEndpoint_;
    std::set<Endpoint> tcpPeers_;
    SdServerPolicy policy_;
    SdRefusalCounts refusals_;
    bool offered_{false};
    SdClock::time_point nextOffer_{};
    std::map<SubscriptionKey, SdClock::time_point> subscriptions_;  // expiry
    std::map<Endpoint, SdClock::time_point> peers_;                 // SD endpoints to offer to, expiry
};

class SdClient {
  public:
    using State = SubscriptionState;

    // `server` is the SD endpoint FindService goes to; `eventEndpoint` is this side's event socket. Offers
    // are taken from the server's address and from `otherProviders`; the offered event endpoint must be
    // the offering sender's own address or lie in `otherProviders`.
    // A `reliable` client subscribes over TCP: it takes only offers that name a TCP endpoint, and subscribes
    // once the caller has connected to it (WantedConnection, OnConnected).
    SdClient(ServiceInstance service, std::uint16_t eventgroup, Endpoint server, Endpoint eventEndpoint,
             SdTiming timing, std::vector<Ipv4Range> otherProviders = {}, bool reliable = false);

    void Start(SdClock::time_point now, std::vector<SdOutgoing>& out);
    // Sends StopSubscribe when subscribed.
    void Stop(std::vector<SdOutgoing>& out);

    void OnMessage(const SdMessage& message, const Endpoint& from, SdClock::time_point now,
                   std::vector<SdOutgoing>& out);
    // Offer and subscription expiry, FindService while searching, subscription renewal.
    void OnTimer(SdClock::time_point now, std::vector<SdOutgoing>& out);
    SdClock::time_point NextDeadline() const noexcept;

    State GetState() const noexcept { return state_; }
    // Where the offered service sends its events from; only datagrams from there are accepted.
    std::optional<Endpoint> ServiceEndpoint() const noexcept { return serviceEndpoint_; }
    // Offers ignored because their sender or their endpoint is not a provider this client trusts.
    std::uint64_t ForeignOffers() const noexcept { return foreignOffers_; }

    // Reliable only: the offered TCP endpoint to connect to while the offer is valid.
    std::optional<Endpoint> WantedConnection() const noexcept;
    // The connection to WantedConnection() is up, from `local`: subscribes with it.
    void OnConnected(const Endpoint& local, SdClock::time_point now, std::vector<SdOutgoing>& out);
    // The connection broke: the subscription is gone with it until the next connection.
    void OnConnectionLost();

  private:
    void Subscribe(SdClock::time_point now, std::vector<SdOutgoing>& out);
    void Search(SdClock::time_point now, std::vector<SdOutgoing>& out);
    SdEntry Entry(EntryType type, std::uint32_t ttl) const;
    bool Trusted(const SdEntry& offer, const Endpoint& from) const;

    ServiceInstance service_;
    std::uint16_t eventgroup_;
    Endpoint server_;
    Endpoint eventEndpoint_;
    SdTiming timing_;
    std::vector<Ipv4Range> otherProviders_;
    bool reliable_;
    std::uint64_t foreignOffers_{0};
    std::optional<Endpoint> serviceTcpEndpoint_;  // the offer's TCP endpoint option
    std::optional<Endpoint> tcpLocal_;            // this side of the connection to it
    State state_{State::kStopped};
    std::optional<Endpoint> serverSd_;         // where the offer came from
    std::optional<Endpoint> serviceEndpoint_;  // the offer's endpoint option
    SdClock::time_point offerExpiry_{};
    SdClock::time_point subscriptionExpiry_{};
    SdClock::time_point nextAction_{};  // next FindService, or the next subscription renewal
};

// Messages for one destination merged into one, identical entries once, as long as a message stays within
// `maxEntries`: a peer gets one answer per message it sent, not one per entry.
void MergeByDestination(std::vector<SdOutgoing>& out, std::size_t maxEntries = 64);

// SD session ids and reboot flags, kept per partner as the protocol asks: each destination (the multicast
// group being one) sees its own run of ids from 1, with the reboot flag set until that run wraps. At most
// `maxPartners` are remembered; the one unused longest is forgotten first.
class SdSessions {
  public:
    explicit SdSessions(std::size_t maxPartners = 1024) : maxPartners_(maxPartners) {}

    struct Next {
        std::uint16_t sessionId;
        bool reboot;
    };
    Next For(const Endpoint& to);
    std::size_t Partners() const noexcept { return partners_.size(); }

  private:
    struct Partner {
        std::uint16_t next{1};
        bool reboot{true};
        std::uint64_t used{0};
    };
    std::size_t maxPartners_;
    std::uint64_t uses_{0};
    std::map<Endpoint, Partner> partners_;
};

}  // namespace vrt::cm::someip
