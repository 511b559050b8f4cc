#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "datagram_batch.h"
#include "someip_receive_path.h"
#include "someip_sd_state.h"
#include "tcp_stream.h"
#include "udp_socket.h"
#include "vrt/cm/someip/someip_transport.h"
#include "vrt/cm/utils/log_initializer.h"

// The process-wide SOME/IP runtime and the state it shares with publishers and receivers.
namespace vrt::cm::someip {

constexpr std::size_t kBatch = 32;          // datagrams per receive call on the runtime's SD sockets
constexpr std::size_t kConsumerBatch = 16;  // and on a consumer's event socket

// An SD socket with session ids and reboot flags per partner. Send merges what goes to one partner into
// one message.
struct SdChannel {
    UdpSocket socket;
    SdSessions sessions;

    void Send(std::vector<SdOutgoing>& out);
};

// The SD sockets of one address and SD port, shared by the services offered there: the unicast socket
// (answers and offers leave from it) and, with a multicast group, a socket that receives the group's
// messages, shared with every other SD participant of the host.
struct SharedSd {
    SdChannel channel;
    UdpSocket group;
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
    std::uint64_t loggedRefusals{0};  // under the runtime's mutex
    // Offered over TCP as well: the listening socket and the subscribers' connections by peer (under the
    // runtime's mutex), and for senders, the connections subscribed per eventgroup.
    vcu::os::UniqueFd tcpListener;
    std::map<Endpoint, std::shared_ptr<TcpSubscriber>> tcpConnections;
    std::map<std::uint16_t, std::vector<std::shared_ptr<TcpSubscriber>>> tcpSubscribers;  // subscribersMutex
    std::atomic<std::uint64_t> cutOffSubscribers{0};
    std::uint64_t loggedCutOffs{0};  // under the runtime's mutex

    void RefreshSubscribers() {
        std::lock_guard<std::mutex> lock(subscribersMutex);
        for (auto& [eventgroup, endpoints] : subscribers) {
            endpoints = server->Subscribers(eventgroup);
            auto& connections = tcpSubscribers[eventgroup];
            connections.clear();
            for (const Endpoint& peer : server->Subscribers(eventgroup, true)) {
                if (auto it = tcpConnections.find(peer); it != tcpConnections.end()) {
                    connections.push_back(it->second);
                }
            }
        }
    }
};

struct ConsumedEvent {
    struct Sample {
        std::vector<std::uint8_t> bytes;
        SampleHeader header;
    };

    ConsumedEvent(std::uint16_t service, const NetworkDeployment& deployment, std::uint64_t queueCapacity);

    // Queues a reassembled message, dropping the oldest when full.
    void Queue(const Header& header, const std::uint8_t* payload, std::size_t size);
    // Reads what waits on the event socket through the receive path; on the consumer's thread.
    void Pump();
    bool HasQueued();
    // Reads the TCP stream, when subscribed over one.
    void PumpStream();

    std::uint16_t serviceId;
    NetworkDeployment network;
    std::uint64_t capacity;
    UdpSocket events;
    SdChannel sd;
    UdpSocket sdGroup;                 // the SD multicast group's messages, when the deployment has one
    std::unique_ptr<SdClient> client;  // under the runtime's mutex
    std::atomic<SdClient::State> state{SdClient::State::kStopped};
    // The event endpoint of the offer subscribed to, packed by PackEndpoint (0: none): notifications from
    // anywhere else are dropped.
    std::atomic<std::uint64_t> source{0};
    std::uint64_t foreignOffers{0};  // the client's count already added to the drops; runtime's mutex
    // Subscribed over TCP (`network.reliable`): the connection the client asked for, being made (runtime's
    // mutex), and once made, read by the consumer's thread (under tcpMutex).
    vcu::os::UniqueFd connecting;
    Endpoint connectingTo;
    SdClock::time_point nextConnect{};
    std::mutex tcpMutex;
    vcu::os::UniqueFd tcp;
    Endpoint tcpPeer;
    TcpMessageReader reader;
    std::atomic<int> tcpDescriptor{-1};  // for the consumer's wait
    std::atomic<bool> tcpBroken{false};  // the consumer saw the stream end; the runtime reconnects
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

inline std::uint64_t PackEndpoint(const Endpoint& endpoint) noexcept {
    return static_cast<std::uint64_t>(endpoint.address) << 16U | endpoint.port;
}

// The process's sockets and its one epoll thread. Discovery state, socket registration and reception run
// under one mutex; senders only take their service's subscriber lock. The loop does a bounded amount of
// work per turn and lets callers from other threads (offers, releases on the stop path) in between turns,
// so that neither a flood nor a busy loop holds them up.
class Runtime : public std::enable_shared_from_this<Runtime> {
  public:
    // The process's runtime, started with its thread on first use and ended with its last user.
    static TransportResult<std::shared_ptr<Runtime>> Instance();
    ~Runtime();

    // The instance of `serviceId` that an event publisher joins; made, with its sockets, for its first event.
    TransportResult<std::shared_ptr<ProvidedService>> Provide(std::uint16_t serviceId,
                                                              const NetworkDeployment& network);
    void ReleaseService(ProvidedService& service);
    void Offer(ProvidedService& service);
    void StopOffer(ProvidedService& service);

    // Binds the event's sockets and starts finding its service.
    TransportResult<void> Consume(const std::shared_ptr<ConsumedEvent>& event);
    void ReleaseConsumer(ConsumedEvent& event);
    // Lets the loop take a turn now (a consumer saw its connection end).
    void Wake() const noexcept { poller_.Wake(); }

  private:
    explicit Runtime(Poller poller);

    // The mutex, for a caller outside the loop: announced, so that the loop yields it at its next turn.
    std::unique_lock<std::mutex> CallerLock();
    TransportResult<void> Register(int fd, std::function<void()> handler);
    void Unregister(int fd);
    void OnProviderSd(SharedSd& sd, const UdpSocket& socket);
    static void UpdateFromClient(ConsumedEvent& event);
    // Provider over TCP: accepting subscribers' connections, reading (and discarding) what they send, and
    // closing them when they end or were cut off.
    void OnTcpAccept(ProvidedService& service);
    void OnTcpReadable(ProvidedService& service, const Endpoint& peer);
    void CloseTcp(ProvidedService& service, const Endpoint& peer);
    // Subscriber over TCP: makes, or drops, the connection its client wants.
    void ReconcileConnection(ConsumedEvent& event, SdClock::time_point now);
    void OnConnected(ConsumedEvent& event);
    void LogRefusals(ProvidedService& service);
    void LogCutOffs(ProvidedService& service);
    static void NackUnknown(const SdMessage& message, const SharedSd& sd, const Endpoint& from,
                            std::vector<SdOutgoing>& out);
    void OnConsumerSd(ConsumedEvent& event, const UdpSocket& socket);
    void OnTimers(SdClock::time_point now);
    void LogDrops(ConsumedEvent& event);
    void LogSendFailures(ProvidedService& service);
    int TimeoutMs(SdClock::time_point now) const;
    void Loop();

    std::mutex mutex_;
    std::atomic<int> callersWaiting_{0};
    std::condition_variable callersDone_;
    Poller poller_;
    std::shared_ptr<vrt::cm::utils::CmLogger> log_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::map<int, std::function<void()>> handlers_;
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::weak_ptr<ProvidedService>> services_;
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::weak_ptr<SharedSd>> sdSockets_;
    std::vector<ConsumedEvent*> consumers_;
    std::vector<std::pair<ProvidedService*, Endpoint>> closing_;  // connections to close after the handlers
    DatagramBatch batch_{kBatch};
};

}  // namespace vrt::cm::someip
