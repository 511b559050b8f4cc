// The SOME/IP binding on real sockets: a publisher and a subscriber process over loopback and across two
// network namespaces joined by a veth pair, discovery on and off, and hostile datagrams against a live
// receiver. Each test uses its own ports, derived from the process id, so that runs can overlap.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/eventually.h"
#include "camera_test/gtest_support.h"
#include "com_test_support.h"
#include "network_namespaces.h"
#include "peer_processes.h"
#include "someip_message.h"
#include "vcu/os/unique_fd.h"
#include "vrt/cm/someip/someip_transport.h"

namespace {

using camera_test::ReadText;
using camera_test::StartChild;
using camera_test::WaitForText;
using vrt::cm::test::NetworkNamespaces;
using vrt::cm::test::RunSubscriberThenPublisher;
using vrt::cm::test::ScopedManifest;
using vrt::cm::test::SomeipManifest;
using namespace vrt::cm::someip;

constexpr std::uint32_t kEvent = 35045;
constexpr std::uint16_t kServiceId = 4097;
constexpr std::chrono::seconds kRunTimeout{60};

// Ten ports per test process, below the ephemeral range.
std::uint16_t Port(int index) {
    return static_cast<std::uint16_t>(20000 + (::getpid() % 1000) * 10 + index);
}

// The subscriber reports "received N missed M first F last L mismatches X".
void ExpectEveryEventArrived(const std::string& report, unsigned count) {
    const std::string expected = "received " + std::to_string(count) + " missed 0 first 0 last " +
                                 std::to_string(count - 1) + " mismatches 0";
    EXPECT_NE(report.find(expected), std::string::npos) << report;
}

class SomeipProcessesTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PEER_TRANSPORT", "SOMEIP", 1); }
    void TearDown() override { ::unsetenv("PEER_TRANSPORT"); }
};

TEST_F(SomeipProcessesTest, SubscriberProcessReceivesEveryEventOverLoopbackIncludingSegmentedOnes) {
    ScopedManifest manifest(SomeipManifest(kEvent, Port(0), Port(1)));
    const std::string sub = manifest.Directory() + "/sub.txt";
    const std::string pub = manifest.Directory() + "/pub.txt";
    // Up to 200 kB per event: most go as SOME/IP-TP segments.
    ASSERT_NO_FATAL_FAILURE(RunSubscriberThenPublisher(
        {SHM_PEER, "subscribe", std::to_string(kEvent), "300", "21", "200000", "256", "0", "50000"}, sub,
        {SHM_PEER, "publish", std::to_string(kEvent), "300", "21", "200000", "2000"}, pub, kRunTimeout));
    ExpectEveryEventArrived(ReadText(sub), 300);
}

TEST_F(SomeipProcessesTest, SubscriberInAnotherNetworkNamespaceReceivesEveryEventOverAVethPair) {
    NetworkNamespaces namespaces(IP_BINARY);
    // The test makes its own namespaces; without them it cannot say anything, so it fails with the reason.
    ASSERT_TRUE(namespaces.Ok())
        << "network namespaces cannot be created here (needs root and `ip netns`); the veth test did not run";
    ScopedManifest manifest(
        SomeipManifest(kEvent, Port(2), Port(3), namespaces.AddressA(), namespaces.AddressB()));
    const std::string sub = manifest.Directory() + "/sub.txt";
    const std::string pub = manifest.Directory() + "/pub.txt";
    ASSERT_NO_FATAL_FAILURE(RunSubscriberThenPublisher(
        namespaces.In(namespaces.B(), {SHM_PEER, "subscribe", std::to_string(kEvent), "200", "4", "150000",
                                       "256", "0", "50000"}),
        sub,
        namespaces.In(namespaces.A(),
                      {SHM_PEER, "publish", std::to_string(kEvent), "200", "4", "150000", "3000"}),
        pub, kRunTimeout));
    ExpectEveryEventArrived(ReadText(sub), 200);
}

// ---- one process, real sockets ----

NetworkDeployment Loopback(std::uint16_t port, std::uint16_t sdPort) {
    NetworkDeployment network;
    network.eventId = 0x08E5;
    network.port = port;
    network.sdPort = sdPort;
    network.offerIntervalMs = 100;
    network.offerTtl = 1;
    network.subscribeTtl = 1;
    network.maxReassemblies = 4;
    network.maxMessageSize = 1 << 20;
    return network;
}

template <typename Condition>
bool Eventually(Condition condition) {
    return camera_test::Eventually(condition, std::chrono::milliseconds(5000));
}

std::vector<std::uint8_t> Payload(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i);
    }
    return bytes;
}

class SomeipSocketsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto publisher = SomeipEventPublisher::Create(kServiceId, network);
        ASSERT_TRUE(publisher.HasValue()) << publisher.Error().message;
        publisher_ = std::move(publisher).Value();
        publisher_->Offer();
        auto receiver = SomeipEventReceiver::Create(kServiceId, network, 8);
        ASSERT_TRUE(receiver.HasValue()) << receiver.Error().message;
        receiver_ = std::move(receiver).Value();
        ASSERT_TRUE(Eventually([this] { return receiver_->IsConnected() && publisher_->HasSubscribers(); }));
    }

    void Publish(const std::vector<std::uint8_t>& payload) {
        ASSERT_EQ(publisher_->Send(payload.size(),
                                   [&payload](std::uint8_t* buffer, std::size_t size) {
                                       std::copy(payload.begin(), payload.end(), buffer);
                                       return size == payload.size();
                                   }),
                  vrt::cm::SendStatus::kSent);
    }

    std::vector<std::uint8_t> Receive() {
        std::vector<std::uint8_t> bytes;
        if (receiver_->WaitForData(std::chrono::seconds(5))) {
            receiver_->Take([&bytes](const std::uint8_t* data, std::size_t size,
                                     const vrt::cm::SampleHeader&) { bytes.assign(data, data + size); });
        }
        return bytes;
    }

    // The receiver reads its socket while its consumer waits or takes: let it, then report `result`.
    bool Pumped(bool result) const {
        (void)receiver_->WaitForData(std::chrono::milliseconds(1));
        return result;
    }

    // Sends raw bytes to the receiver's event socket, always from the same socket, as one sender would.
    void Inject(const std::vector<std::uint8_t>& datagram) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(receiver_->EventEndpoint().address);
        to.sin_port = htons(receiver_->EventEndpoint().port);
        (void)::sendto(injector_.get(), datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }

    static std::vector<std::uint8_t> Datagram(std::uint16_t service, std::uint16_t method, std::uint8_t type,
                                              const std::vector<std::uint8_t>& body,
                                              std::uint16_t session = 1) {
        std::vector<std::uint8_t> out(kHeaderSize);
        Header header;
        header.serviceId = service;
        header.methodId = method;
        header.messageType = type;
        header.sessionId = session;
        header.length = static_cast<std::uint32_t>(kLengthCoveredHeader + body.size());
        EncodeHeader(header, out.data());
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

    static std::vector<std::uint8_t> Segment(std::uint16_t session, std::uint32_t offset, bool more,
                                             std::size_t size) {
        std::vector<std::uint8_t> body(kTpHeaderSize);
        EncodeTpHeader(TpHeader{offset, more}, body.data());
        const auto payload = Payload(size, 3);
        body.insert(body.end(), payload.begin(), payload.end());
        return Datagram(kServiceId, 0x88E5, 0x22, body, session);
    }

    NetworkDeployment network = Loopback(Port(4), Port(5));
    std::unique_ptr<SomeipEventPublisher> publisher_;
    std::unique_ptr<SomeipEventReceiver> receiver_;
    vcu::os::UniqueFd injector_{::socket(AF_INET, SOCK_DGRAM, 0)};
};

// Only the offered endpoint feeds the subscriber: whatever another socket sends, well-formed or not, is
// dropped before it is parsed or reassembled (the receive path's own checks are tested without sockets).
TEST_F(SomeipSocketsTest, DatagramsFromAnyoneButTheProviderAreDroppedAndCountedAndTheEventStillFlows) {
    const DropCounters& drops = receiver_->Drops();
    auto good = Datagram(kServiceId, 0x88E5, 0x02, Payload(32, 1));
    Inject(good);
    Inject(std::vector<std::uint8_t>(good.begin(), good.begin() + 9));  // truncated header
    Inject(Segment(40, 2u << 20, false, 16));                           // TP offset past the largest message
    for (std::uint16_t session = 100; session < 600; ++session) {       // a flood of partial messages
        Inject(Segment(session, 0, true, 1024));
    }
    ASSERT_TRUE(Eventually([&] { return Pumped(drops.Of(DropReason::kForeignSender) == 503U); }))
        << drops.Describe();
    EXPECT_EQ(drops.Total(), 503U) << drops.Describe();
    EXPECT_FALSE(receiver_->WaitForData(std::chrono::milliseconds(1)));

    const auto payload = Payload(100000, 7);
    Publish(payload);
    EXPECT_EQ(Receive(), payload);
}

TEST_F(SomeipSocketsTest, StopOfferEndsTheSubscriptionAndAnotherOfferBringsItBack) {
    publisher_->StopOffer();
    EXPECT_TRUE(Eventually([this] { return receiver_->DiscoveryState() == SubscriptionState::kSearching; }));
    EXPECT_FALSE(receiver_->IsConnected());
    EXPECT_FALSE(publisher_->HasSubscribers());
    EXPECT_EQ(publisher_->Send(4, [](std::uint8_t*, std::size_t) { return true; }),
              vrt::cm::SendStatus::kNotOffered);

    publisher_->Offer();
    ASSERT_TRUE(Eventually([this] { return receiver_->IsConnected() && publisher_->HasSubscribers(); }));
    const auto payload = Payload(1000, 9);
    Publish(payload);
    EXPECT_EQ(Receive(), payload);
}

TEST_F(SomeipSocketsTest, ASubscriberThatGoesAwayIsDroppedByThePublisher) {
    receiver_.reset();  // sends StopSubscribe
    EXPECT_TRUE(Eventually([this] { return !publisher_->HasSubscribers(); }));
}

}  // namespace

namespace {

// A socket the system refuses and an option out of range fail with codes of their own; the socket's message
// names the socket, the call and the endpoint.
TEST(SomeipInstanceTest, SocketAndConfigurationFailuresAreToldApart) {
    NetworkDeployment foreign = Loopback(Port(9), Port(9));
    foreign.address = 0xC0000201U;  // 192.0.2.1 (TEST-NET-1): no interface of this host has it
    auto publisher = SomeipEventPublisher::Create(kServiceId, foreign);
    ASSERT_FALSE(publisher.HasValue());
    EXPECT_EQ(publisher.Error().code, vrt::cm::TransportErrorCode::kSocket) << publisher.Error().message;
    EXPECT_EQ(publisher.Error().message.rfind("event socket: bind on 192.0.2.1:", 0), 0U)
        << publisher.Error().message;

    auto receiver = SomeipEventReceiver::Create(kServiceId, Loopback(Port(9), Port(9)), 0);
    ASSERT_FALSE(receiver.HasValue());
    EXPECT_EQ(receiver.Error().code, vrt::cm::TransportErrorCode::kBadConfiguration);
    EXPECT_EQ(receiver.Error().message, "queue capacity 0; expected at least 1 sample");
}

TEST(SomeipInstanceTest, EventsOfOneInstanceShareItsEndpointAndTheLastOneToGoFreesIt) {
    NetworkDeployment first = Loopback(Port(6), Port(7));
    NetworkDeployment second = first;
    second.eventId = 0x0001;
    second.eventgroupId = 2;
    NetworkDeployment elsewhere = first;
    elsewhere.port = Port(8);
    {
        auto a = SomeipEventPublisher::Create(kServiceId, first);
        ASSERT_TRUE(a.HasValue()) << a.Error().message;
        auto b = SomeipEventPublisher::Create(kServiceId, second);
        ASSERT_TRUE(b.HasValue()) << b.Error().message;
        auto c = SomeipEventPublisher::Create(kServiceId, elsewhere);
        ASSERT_FALSE(c.HasValue());
        EXPECT_EQ(c.Error().code, vrt::cm::TransportErrorCode::kBadConfiguration) << c.Error().message;
        EXPECT_NE(c.Error().message.find("disagree on the instance's network settings"), std::string::npos)
            << c.Error().message;
        a.Value()->Offer();
        b.Value()->Offer();
        auto receiver = SomeipEventReceiver::Create(kServiceId, second, 4);
        ASSERT_TRUE(receiver.HasValue()) << receiver.Error().message;
        ASSERT_TRUE(Eventually([&] { return b.Value()->HasSubscribers(); }));
        EXPECT_FALSE(a.Value()->HasSubscribers());  // another eventgroup
    }
    // Both gone: the instance's ports are free again.
    auto again = SomeipEventPublisher::Create(kServiceId, first);
    EXPECT_TRUE(again.HasValue()) << again.Error().message;
}

}  // namespace
