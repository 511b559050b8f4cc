// Whom the SOME/IP binding listens to, seen from a hostile host: a publisher process in one network
// namespace, the attacker (and, where one is needed, the real subscriber) in the other, joined by a veth
// pair. And discovery under a flood of SD messages on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/gtest_support.h"
#include "com_test_support.h"
#include "network_namespaces.h"
#include "someip_test_sockets.h"
#include "vcu/os/unique_fd.h"
#include "vrt/cm/someip/someip_transport.h"

namespace {

using camera_test::ReadText;
using camera_test::StartChild;
using vrt::cm::test::NetworkNamespaces;
using vrt::cm::test::ScopedManifest;
using vrt::cm::test::SomeipManifest;
using namespace vrt::cm::someip;
using namespace vrt::cm::test;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kEvent = 35045;
constexpr std::uint16_t kServiceId = 4097;
constexpr std::uint16_t kEventId = 0x88E5;  // 35045 & 0x7FFF, with the event bit
// Inside a namespace of the test's own, any port is free.
constexpr std::uint16_t kPort = 30501;
constexpr std::uint16_t kSdPort = 30490;

Endpoint At(const std::string& address, std::uint16_t port) {
    return Endpoint{*ParseIpv4(address), port};
}

SdEntry Subscription(const Endpoint& events, std::uint32_t ttl) {
    SdEntry entry;
    entry.type = EntryType::kSubscribeEventgroup;
    entry.serviceId = kServiceId;
    entry.instanceId = 1;
    entry.majorVersion = 1;
    entry.eventgroupId = 1;
    entry.ttl = ttl;
    entry.endpoint = events;
    return entry;
}

std::vector<std::uint8_t> Notification(std::uint16_t session, const std::vector<std::uint8_t>& payload,
                                       std::uint8_t type = 0x02) {
    std::vector<std::uint8_t> out(kHeaderSize);
    Header header;
    header.serviceId = kServiceId;
    header.methodId = kEventId;
    header.messageType = type;
    header.sessionId = session;
    header.length = static_cast<std::uint32_t>(kLengthCoveredHeader + payload.size());
    EncodeHeader(header, out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

class SomeipTrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PEER_TRANSPORT", "SOMEIP", 1);
        ASSERT_TRUE(namespaces.Ok())
            << "network namespaces cannot be created here (needs root and `ip netns`); the test did not run";
    }
    void TearDown() override { ::unsetenv("PEER_TRANSPORT"); }

    // The publisher process in namespace A: `count` samples of up to `size` bytes, one every `intervalUs`.
    camera_test::ChildProcess StartPublisher(const ScopedManifest& manifest, unsigned count, unsigned size,
                                             unsigned intervalUs) {
        return StartChild(
            namespaces.In(namespaces.A(), {SHM_PEER, "publish", std::to_string(kEvent), std::to_string(count),
                                           "5", std::to_string(size), std::to_string(intervalUs)}),
            manifest.Directory() + "/pub.txt");
    }

    NetworkNamespaces namespaces{IP_BINARY};
};

// A subscription naming a third host's address would turn the stream on that host: refused with a Nack,
// nothing is sent there, while the same peer's subscription for itself is served.
TEST_F(SomeipTrustTest, ASubscriptionNamingAThirdHostGetsANackAndNothingIsSentThere) {
    const std::string thirdHost = namespaces.Address(3);
    ASSERT_TRUE(namespaces.AddAddressToB(thirdHost));
    ScopedManifest manifest(
        SomeipManifest(kEvent, kPort, kSdPort, namespaces.AddressA(), namespaces.AddressB()));
    auto publisher = StartPublisher(manifest, 2000, 2000, 5000);

    vcu::os::UniqueFd attacker, own, victim;
    ASSERT_TRUE(NetworkNamespaces::RunIn(namespaces.B(), [&] {
        attacker = BoundSocket(At(namespaces.AddressB(), 0));
        own = BoundSocket(At(namespaces.AddressB(), 40001));
        victim = BoundSocket(At(thirdHost, 40000));
    }));
    ASSERT_TRUE(attacker.valid() && own.valid() && victim.valid());

    SdMessage subscribe;
    subscribe.entries = {Subscription(At(thirdHost, 40000), 0xFFFFFE),
                         Subscription(At(namespaces.AddressB(), 40001), 3)};
    int notifications = 0, atVictim = 0, nacks = 0, acks = 0, splitAnswers = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (auto next = Clock::now(); notifications < 50 && Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (Clock::now() >= next) {
            SendTo(attacker, At(namespaces.AddressA(), kSdPort), EncodeSd(subscribe, 1));
            next = Clock::now() + std::chrono::milliseconds(300);
        }
        Drain(attacker, [&](const std::uint8_t* data, std::size_t size) {
            const DecodedSd decoded = DecodeSd(data, size);
            int inMessage[2] = {0, 0};  // Nacks, acks
            for (const SdEntry& entry : decoded.message ? decoded.message->entries : std::vector<SdEntry>{}) {
                if (entry.type == EntryType::kSubscribeEventgroupAck) {
                    ++inMessage[entry.ttl == 0 ? 0 : 1];
                }
            }
            nacks += inMessage[0];
            acks += inMessage[1];
            splitAnswers += inMessage[0] != inMessage[1] ? 1 : 0;
        });
        notifications += Drain(own, [](const std::uint8_t*, std::size_t) {});
        atVictim += Drain(victim, [](const std::uint8_t*, std::size_t) {});
    }
    atVictim += Drain(victim, [](const std::uint8_t*, std::size_t) {});
    EXPECT_GE(notifications, 50) << ReadText(manifest.Directory() + "/pub.txt");
    EXPECT_EQ(atVictim, 0);
    EXPECT_GT(nacks, 0);
    EXPECT_GT(acks, 0);
    EXPECT_EQ(splitAnswers, 0);  // each SD message got one answer, with both entries in it
}

// Offers from a host that is not the deployment's provider, notifications and TP segments from anywhere
// but the offered endpoint: dropped and counted, and the real stream, key-frame-sized samples included,
// goes on whole.
TEST_F(SomeipTrustTest, ForeignOffersNotificationsAndTpFloodsAreDroppedAndCountedWhileTheStreamGoesOn) {
    const std::string intruder = namespaces.Address(3);
    ASSERT_TRUE(namespaces.AddAddressToB(intruder));
    NetworkDeployment network;
    network.eventId = kEventId & 0x7FFFU;
    network.address = *ParseIpv4(namespaces.AddressA());
    network.clientAddress = *ParseIpv4(namespaces.AddressB());
    network.port = kPort;
    network.sdPort = kSdPort;
    network.offerIntervalMs = 100;
    network.offerTtl = 1;
    ScopedManifest manifest(
        SomeipManifest(kEvent, kPort, kSdPort, namespaces.AddressA(), namespaces.AddressB()));
    std::unique_ptr<SomeipEventReceiver> receiver;
    vcu::os::UniqueFd attacker;
    ASSERT_TRUE(NetworkNamespaces::RunIn(namespaces.B(), [&] {
        auto created = SomeipEventReceiver::Create(kServiceId, network, 64);
        if (created.HasValue()) {
            receiver = std::move(created).Value();
        }
        attacker = BoundSocket(At(intruder, kPort));
        const in_addr outgoing{htonl(*ParseIpv4(intruder))};
        (void)::setsockopt(attacker.get(), IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing));
    }));
    ASSERT_TRUE(receiver && attacker.valid());
    // 150 samples of up to 150 kB: most are sent as TP segments.
    auto publisher = StartPublisher(manifest, 150, 150000, 20000);

    // The intruder offers the service to the multicast group, from its own address, naming its own port.
    SdEntry offer;
    offer.type = EntryType::kOfferService;
    offer.serviceId = kServiceId;
    offer.instanceId = 1;
    offer.ttl = 3;
    offer.endpoint = At(intruder, kPort);
    SdMessage offers;
    offers.entries.push_back(offer);
    const std::vector<std::uint8_t> forged = Notification(7, std::vector<std::uint8_t>(77, 0xEE));
    std::vector<std::uint8_t> segmentBody(kTpHeaderSize + 16, 0xEE);
    EncodeTpHeader(TpHeader{4U * 1024U * 1024U - 16U, true}, segmentBody.data());
    const Endpoint group{kDefaultSdMulticast, kSdPort};
    std::atomic<bool> done{false};
    std::thread flood([&] {
        for (std::uint16_t session = 1; !done; ++session) {
            SendTo(attacker, group, EncodeSd(offers, session));
            SendTo(attacker, receiver->EventEndpoint(), forged);
            for (int i = 0; i < 20; ++i) {
                SendTo(attacker, receiver->EventEndpoint(),
                       Notification(static_cast<std::uint16_t>(session * 20 + i), segmentBody, 0x22));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    unsigned received = 0, forgedReceived = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(40);
    while (received < 150 && Clock::now() < deadline) {
        if (receiver->WaitForData(std::chrono::milliseconds(100))) {
            receiver->Take([&](const std::uint8_t* data, std::size_t size, const vrt::cm::SampleHeader&) {
                ++received;
                forgedReceived += size == 77 && data[0] == 0xEE ? 1U : 0U;
            });
        }
    }
    done = true;
    flood.join();
    const DropCounters& drops = receiver->Drops();
    EXPECT_EQ(received, 150U) << drops.Describe() << "\n" << ReadText(manifest.Directory() + "/pub.txt");
    EXPECT_EQ(forgedReceived, 0U);
    EXPECT_EQ(receiver->MissedSamples(), 0U);
    EXPECT_GT(drops.Of(DropReason::kForeignSender), 1000U) << drops.Describe();
    EXPECT_GT(drops.Of(DropReason::kForeignOffer), 0U) << drops.Describe();
    EXPECT_EQ(drops.Of(DropReason::kTpEvicted), 0U) << drops.Describe();
    receiver.reset();
}

// A flood of full SD messages (finds, and subscriptions to an eventgroup nobody offers) neither stops the
// cyclic offers nor holds up the stop path: StopOffer and the release return within a second.
TEST(SomeipSdFloodTest, CyclicOffersGoOnAndTheStopPathIsNotHeldUp) {
    NetworkDeployment network;
    network.eventId = kEventId & 0x7FFFU;
    network.port = static_cast<std::uint16_t>(21000 + ::getpid() % 1000 * 2);
    network.sdPort = static_cast<std::uint16_t>(network.port + 1);
    network.offerIntervalMs = 100;
    network.offerTtl = 3;
    network.sdMulticast.reset();
    auto created = SomeipEventPublisher::Create(kServiceId, network);
    ASSERT_TRUE(created.HasValue()) << created.Error().message;
    auto publisher = std::move(created).Value();
    publisher->Offer();

    SdMessage flood;
    for (std::uint16_t i = 0; flood.entries.size() < 85; ++i) {
        SdEntry find;
        find.type = EntryType::kFindService;
        find.serviceId = kServiceId;
        find.instanceId = kAnyInstance;
        flood.entries.push_back(find);
        SdEntry subscribe = Subscription(Endpoint{0x7F000001, 40000}, 3);
        subscribe.eventgroupId = static_cast<std::uint16_t>(100 + i);
        flood.entries.push_back(subscribe);
    }
    flood.entries.resize(85);
    const std::vector<std::uint8_t> datagram = EncodeSd(flood, 1);
    const Endpoint server{0x7F000001, network.sdPort};
    std::atomic<bool> done{false};
    std::vector<std::thread> flooders;
    for (int t = 0; t < 2; ++t) {
        flooders.emplace_back([&] {
            const vcu::os::UniqueFd fd = BoundSocket(Endpoint{0x7F000001, 0});
            while (!done) {
                SendTo(fd, server, datagram);
            }
        });
    }
    // A peer that searched keeps getting the cyclic offers through the flood. Its find may be lost in
    // the flood (the socket's queue is full): it searches until answered, as a client does.
    const vcu::os::UniqueFd peer = BoundSocket(Endpoint{0x7F000001, 0});
    SdMessage find;
    find.entries.push_back(flood.entries[0]);
    const auto searchUntil = Clock::now() + std::chrono::seconds(10);
    int offers = 0;
    for (int round = 1; offers == 0 && Clock::now() < searchUntil; ++round) {
        SendTo(peer, server, EncodeSd(find, static_cast<std::uint16_t>(round)));
        for (int i = 0; i < 20 && offers == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            offers += Drain(peer, [](const std::uint8_t*, std::size_t) {});
        }
    }
    ASSERT_GT(offers, 0) << "the find was never answered";
    offers = 0;
    const auto until = Clock::now() + std::chrono::milliseconds(1000);
    while (Clock::now() < until) {
        offers += Drain(peer, [](const std::uint8_t*, std::size_t) {});
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto stopping = Clock::now();
    publisher->StopOffer();
    publisher.reset();
    const auto stopTook = Clock::now() - stopping;
    done = true;
    for (auto& thread : flooders) {
        thread.join();
    }
    EXPECT_LT(stopTook, std::chrono::seconds(1));
    // Every 100 ms a cyclic offer: about ten in that second.
    EXPECT_GE(offers, 5);
}

}  // namespace
