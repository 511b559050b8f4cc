#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "vrt/cm/someip/someip_sd.h"

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
             SdTiming timing, std::optional<Endpoint> multicast);

    // Another event of the instance brings its eventgroup.
    void AddEventgroup(std::uint16_t eventgroup) { eventgroups_.insert(eventgroup); }
    void Offer(SdClock::time_point now, std::vector<SdOutgoing>& out);
    // Sends StopOffer to every peer and forgets the subscribers.
    void StopOffer(std::vector<SdOutgoing>& out);
    bool IsOffered() const noexcept { return offered_; }

    void OnMessage(const SdMessage& message, const Endpoint& from, SdClock::time_point now,
                   std::vector<SdOutgoing>& out);
    // Cyclic offers and subscription expiry.
    void OnTimer(SdClock::time_point now, std::vector<SdOutgoing>& out);
    SdClock::time_point NextDeadline() const noexcept;

    // The event endpoints subscribed to `eventgroup`, ascending.
    std::vector<Endpoint> Subscribers(std::uint16_t eventgroup) const;
    bool HasSubscribers() const noexcept { return !subscriptions_.empty(); }
    const ServiceInstance& Service() const noexcept { return service_; }

  private:
    struct SubscriptionKey {
        std::uint16_t eventgroup;
        Endpoint endpoint;
        bool operator<(const SubscriptionKey& other) const noexcept {
            return eventgroup != other.eventgroup ? eventgroup < other.eventgroup : endpoint < other.endpoint;
        }
    };
    SdEntry OfferEntry(std::uint32_t ttl) const;
    std::set<Endpoint> OfferTargets() const;

    ServiceInstance service_;
    std::set<std::uint16_t> eventgroups_;
    Endpoint eventEndpoint_;
    SdTiming timing_;
    std::optional<Endpoint> multicast_;
    bool offered_{false};
    SdClock::time_point nextOffer_{};
    std::map<SubscriptionKey, SdClock::time_point> subscriptions_;  // expiry
    std::map<Endpoint, SdClock::time_point> peers_;                 // SD endpoints to offer to, expiry
};

class SdClient {
  public:
    enum class State : std::uint8_t {
        kStopped,
        kSearching,    // no valid offer: FindService to the server's SD endpoint, cyclically
        kSubscribing,  // offered, subscription sent, no answer yet
        kSubscribed,   // acknowledged and not expired
        kRefused,      // the server answered with a Nack; retried at its next offer
    };

    // `server` is the SD endpoint FindService goes to; `eventEndpoint` is this side's event socket.
    SdClient(ServiceInstance service, std::uint16_t eventgroup, Endpoint server, Endpoint eventEndpoint,
             SdTiming timing);

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

  private:
    void Subscribe(SdClock::time_point now, std::vector<SdOutgoing>& out);
    void Search(SdClock::time_point now, std::vector<SdOutgoing>& out);
    SdEntry Entry(EntryType type, std::uint32_t ttl) const;

    ServiceInstance service_;
    std::uint16_t eventgroup_;
    Endpoint server_;
    Endpoint eventEndpoint_;
    SdTiming timing_;
    State state_{State::kStopped};
    std::optional<Endpoint> serverSd_;         // where the offer came from
    std::optional<Endpoint> serviceEndpoint_;  // the offer's endpoint option
    SdClock::time_point offerExpiry_{};
    SdClock::time_point subscriptionExpiry_{};
    SdClock::time_point nextAction_{};  // next FindService, or the next subscription renewal
};

}  // namespace vrt::cm::someip
