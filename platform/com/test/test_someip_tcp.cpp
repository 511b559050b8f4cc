// SOME/IP over TCP, the deployment's choice for lossy links: every sample arrives across a link that drops
// packets, and a subscriber that stops reading is cut off without ever holding up the sender.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/gtest_support.h"
#include "com_test_support.h"
#include "network_namespaces.h"
#include "peer_processes.h"
#include "someip_test_sockets.h"
#include "vcu/os/unique_fd.h"
#include "vrt/cm/someip/someip_transport.h"

namespace {

using camera_test::ReadText;
using vrt::cm::test::NetworkNamespaces;
using vrt::cm::test::RunSubscriberThenPublisher;
using vrt::cm::test::ScopedManifest;
using vrt::cm::test::SomeipManifest;
using vrt::cm::test::ToSockaddr;
using namespace vrt::cm::someip;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kEvent = 35045;
constexpr std::uint16_t kServiceId = 4097;

// Drops `percent` of the IPv4 packets namespace `ns` sends, whatever their protocol.
bool DropPackets(const std::string& ns, int percent) {
    const std::string nft = "ip netns exec " + ns + " nft ";
    return std::system((nft + "add table ip lossy && " + nft +
                        "add chain ip lossy out '{ type filter hook output priority 0; }' && " + nft +
                        "add rule ip lossy out numgen random mod 100 '<' " + std::to_string(percent) +
                        " drop")
                           .c_str()) == 0;
}

TEST(SomeipTcpTest, EverySampleArrivesOverALinkThatDropsOnePacketInAHundred) {
    ::setenv("PEER_TRANSPORT", "SOMEIP", 1);
    NetworkNamespaces namespaces(IP_BINARY);
    ASSERT_TRUE(namespaces.Ok())
        << "network namespaces cannot be created here (needs root and `ip netns`); the test did not run";
    ASSERT_TRUE(DropPackets(namespaces.A(), 1)) << "nft could not make the link lossy";
    ASSERT_TRUE(DropPackets(namespaces.B(), 1));
    ScopedManifest manifest(SomeipManifest(kEvent, 30501, 30490, namespaces.AddressA(), namespaces.AddressB(),
                                           R"(, "tcpPort": 30502, "reliable": true)"));
    const std::string sub = manifest.Directory() + "/sub.txt";
    const std::string pub = manifest.Directory() + "/pub.txt";
    // Up to 150 kB a sample: over UDP, about a hundred segments of which one in a hundred is lost.
    ASSERT_NO_FATAL_FAILURE(RunSubscriberThenPublisher(
        namespaces.In(namespaces.B(), {SHM_PEER, "subscribe", std::to_string(kEvent), "200", "4", "150000",
                                       "256", "0", "60000"}),
        sub,
        namespaces.In(namespaces.A(),
                      {SHM_PEER, "publish", std::to_string(kEvent), "200", "4", "150000", "10000"}),
        pub, std::chrono::seconds(90)));
    const std::string report = ReadText(sub);
    EXPECT_NE(report.find("received 200 missed 0 first 0 last 199 mismatches 0"), std::string::npos)
        << report << ReadText(pub);
    ::unsetenv("PEER_TRANSPORT");
}

TEST(SomeipTcpTest, ASubscriberThatStopsReadingIsCutOffAndNeverHoldsUpTheSender) {
    NetworkDeployment network;
    network.eventId = 0x08E5;
    network.port = static_cast<std::uint16_t>(22000 + ::getpid() % 1000 * 3);
    network.sdPort = static_cast<std::uint16_t>(network.port + 1);
    network.tcpPort = static_cast<std::uint16_t>(network.port + 2);
    network.tcpBacklogBytes = 256U * 1024U;
    network.sdMulticast.reset();
    auto created = SomeipEventPublisher::Create(kServiceId, network);
    ASSERT_TRUE(created.HasValue()) << created.Error().message;
    auto publisher = std::move(created).Value();
    publisher->Offer();

    // A subscriber that connects, subscribes with its end of the connection, and never reads.
    vcu::os::UniqueFd stream(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    (void)::setsockopt(stream.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    const timeval patience{5, 0};  // the reads at the end never wait for ever
    (void)::setsockopt(stream.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
    const sockaddr_in server = ToSockaddr(Endpoint{0x7F000001, network.tcpPort});
    ASSERT_EQ(::connect(stream.get(), reinterpret_cast<const sockaddr*>(&server), sizeof(server)), 0);
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ASSERT_EQ(::getsockname(stream.get(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    SdEntry subscribe;
    subscribe.type = EntryType::kSubscribeEventgroup;
    subscribe.serviceId = kServiceId;
    subscribe.instanceId = 1;
    subscribe.eventgroupId = 1;
    subscribe.ttl = 30;
    subscribe.tcpEndpoint = Endpoint{ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)};
    SdMessage message;
    message.entries.push_back(subscribe);
    const vcu::os::UniqueFd sd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in sdServer = ToSockaddr(Endpoint{0x7F000001, network.sdPort});
    const auto bytes = EncodeSd(message, 1);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!publisher->HasSubscribers() && Clock::now() < deadline) {
        (void)::sendto(sd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sdServer),
                       sizeof(sdServer));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(publisher->HasSubscribers());

    std::vector<std::uint8_t> payload(100000, 0x5A);
    Clock::duration longest{};
    int sent = 0;
    while (publisher->HasSubscribers() && Clock::now() < deadline) {
        const auto before = Clock::now();
        EXPECT_EQ(publisher->Send(payload.size(),
                                  [&payload](std::uint8_t* buffer, std::size_t size) {
                                      std::copy(payload.begin(), payload.end(), buffer);
                                      return size == payload.size();
                                  }),
                  vrt::cm::SendStatus::kSent);
        longest = std::max(longest, Clock::now() - before);
        ++sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_FALSE(publisher->HasSubscribers()) << "still subscribed after " << sent << " samples";
    // A few samples fill the socket buffers and the 256 kB backlog; no send waited for the reader.
    EXPECT_LT(sent, 100);
    EXPECT_LT(longest, std::chrono::milliseconds(500));
    // The connection was closed: after what it had buffered, the reader sees its end.
    char sink[65536];
    ssize_t got = 0;
    while ((got = ::recv(stream.get(), sink, sizeof(sink), 0)) > 0) {
    }
    EXPECT_LE(got, 0);
}

}  // namespace
