// SOME/IP service discovery: the message codec byte by byte, and every state change of the server and the
// client state machines on a fake clock.
#include <gtest/gtest.h>

#include <vector>

#include "someip_sd.h"
#include "someip_sd_state.h"

namespace vrt::cm::someip {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Endpoint kServerEvents{0x7F000001, 30501};
const Endpoint kServerSd{0x7F000001, 30490};
const Endpoint kClientEvents{0x7F000002, 40001};
const Endpoint kClientSd{0x7F000002, 40002};
const ServiceInstance kService{0x1001, 1, 1, 0};

TEST(SomeipSdCodecTest, OfferServiceIsEncodedAsTheStandardLaysItOut) {
    SdMessage message;
    SdEntry offer;
    offer.type = EntryType::kOfferService;
    offer.serviceId = 0x1001;
    offer.instanceId = 1;
    offer.majorVersion = 1;
    offer.ttl = 3;
    offer.minorVersion = 0;
    offer.endpoint = kServerEvents;
    message.entries.push_back(offer);
    const Bytes bytes = EncodeSd(message, 7);
    const Bytes expected{
        0xFF, 0xFF, 0x81, 0x00, 0x00, 0x00, 0x00, 0x30,  // SD message id, length 48
        0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x02, 0x00,  // client 0, session 7, notification
        0xC0, 0x00, 0x00, 0x00,                          // reboot and unicast flags
        0x00, 0x00, 0x00, 0x10,                          // one entry
        0x01, 0x00, 0x00, 0x10, 0x10, 0x01, 0x00, 0x01,  // offer, option 0 (one in the first run), 0x1001/1
        0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00,  // major 1, TTL 3, minor 0
        0x00, 0x00, 0x00, 0x0C,                          // one 12-byte option
        0x00, 0x09, 0x04, 0x00, 0x7F, 0x00, 0x00, 0x01,  // IPv4 endpoint 127.0.0.1
        0x00, 0x11, 0x77, 0x25};                         // UDP port 30501
    EXPECT_EQ(bytes, expected);
}

TEST(SomeipSdCodecTest, RoundTripsEveryEntryTypeAndSharesOneOptionPerEndpoint) {
    SdMessage message;
    message.reboot = false;
    for (const EntryType type : {EntryType::kFindService, EntryType::kOfferService,
                                 EntryType::kSubscribeEventgroup, EntryType::kSubscribeEventgroupAck}) {
        SdEntry entry;
        entry.type = type;
        entry.serviceId = 0x1234;
        entry.instanceId = 0x0002;
        entry.majorVersion = 3;
        entry.ttl = 0xABCDEF;
        if (entry.IsServiceEntry()) {
            entry.minorVersion = 0x01020304;
        } else {
            entry.eventgroupId = 0x0042;
            entry.counter = 5;
        }
        if (type != EntryType::kFindService && type != EntryType::kSubscribeEventgroupAck) {
            entry.endpoint = kClientEvents;
        }
        message.entries.push_back(entry);
    }
    const Bytes bytes = EncodeSd(message, 1);
    EXPECT_EQ(bytes.size(), 16U + 12U + 4U * 16U + 12U);  // one option for both entries that name it
    const DecodedSd decoded = DecodeSd(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded.message) << static_cast<int>(decoded.error);
    EXPECT_FALSE(decoded.message->reboot);
    ASSERT_EQ(decoded.message->entries.size(), 4U);
    for (std::size_t i = 0; i < 4; ++i) {
        const SdEntry& in = message.entries[i];
        const SdEntry& out = decoded.message->entries[i];
        EXPECT_EQ(out.type, in.type);
        EXPECT_EQ(out.serviceId, in.serviceId);
        EXPECT_EQ(out.instanceId, in.instanceId);
        EXPECT_EQ(out.majorVersion, in.majorVersion);
        EXPECT_EQ(out.ttl, in.ttl);
        EXPECT_EQ(out.minorVersion, in.minorVersion);
        EXPECT_EQ(out.eventgroupId, in.eventgroupId);
        EXPECT_EQ(out.counter, in.counter);
        EXPECT_EQ(out.endpoint, in.endpoint);
    }
}

TEST(SomeipSdCodecTest, RefusesTruncatedArraysUnknownEntriesAndOptionReferencesPastTheEnd) {
    SdMessage message;
    SdEntry offer;
    offer.endpoint = kServerEvents;
    message.entries.push_back(offer);
    const Bytes good = EncodeSd(message, 1);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        Bytes shorter(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        if (cut >= 8) {
            shorter[7] = static_cast<std::uint8_t>(cut - 8);  // keep the header consistent: arrays must fail
        }
        EXPECT_FALSE(DecodeSd(shorter.data(), shorter.size()).message) << "cut at " << cut;
    }
    Bytes unknownEntry = good;
    unknownEntry[24] = 0x05;
    EXPECT_EQ(DecodeSd(unknownEntry.data(), unknownEntry.size()).error, SdError::kBadEntry);
    Bytes badReference = good;
    badReference[25] = 3;  // first option run starts at option 3 of 1
    EXPECT_EQ(DecodeSd(badReference.data(), badReference.size()).error, SdError::kBadOption);
    Bytes notSd = good;
    notSd[3] = 0x01;
    EXPECT_EQ(DecodeSd(notSd.data(), notSd.size()).error, SdError::kNotSd);
}

// One server and one client wired together through their outgoing messages, on a fake clock.
class SomeipSdStatesTest : public ::testing::Test {
  protected:
    SomeipSdStatesTest() {
        timing.offerInterval = milliseconds(1000);
        timing.offerTtl = 3;
        timing.subscribeTtl = 3;
    }

    // Delivers everything queued, back and forth, until nothing is left; returns what went over the wire.
    std::vector<SdOutgoing> Exchange(std::vector<SdOutgoing> out) {
        std::vector<SdOutgoing> seen;
        while (!out.empty()) {
            std::vector<SdOutgoing> next;
            for (const SdOutgoing& message : out) {
                seen.push_back(message);
                if (message.to == kServerSd && serverUp) {
                    server.OnMessage(message.message, kClientSd, now, next);
                } else if (message.to == kClientSd) {
                    client.OnMessage(message.message, kServerSd, now, next);
                }
            }
            out = std::move(next);
        }
        return seen;
    }

    void Advance(milliseconds by) {
        now += by;
        std::vector<SdOutgoing> out;
        if (serverUp) {
            server.OnTimer(now, out);
        }
        client.OnTimer(now, out);
        Exchange(std::move(out));
    }

    void StartBoth() {
        std::vector<SdOutgoing> out;
        server.Offer(now, out);
        client.Start(now, out);
        Exchange(std::move(out));
    }

    SdTiming timing;
    SdClock::time_point now{};
    bool serverUp{true};
    SdServer server{kService, {1}, kServerEvents, timing, std::nullopt};
    SdClient client{kService, 1, kServerSd, kClientEvents, timing};
};

TEST_F(SomeipSdStatesTest, FindOfferSubscribeAckLeadsToASubscription) {
    EXPECT_EQ(client.GetState(), SdClient::State::kStopped);
    StartBoth();
    EXPECT_EQ(client.GetState(), SdClient::State::kSubscribed);
    EXPECT_EQ(client.ServiceEndpoint(), kServerEvents);
    EXPECT_EQ(server.Subscribers(1), std::vector<Endpoint>{kClientEvents});
    EXPECT_TRUE(server.Subscribers(2).empty());
}

TEST_F(SomeipSdStatesTest, CyclicOffersKeepTheSubscriptionAliveLongPastBothTtls) {
    StartBoth();
    for (int i = 0; i < 20; ++i) {
        Advance(milliseconds(500));
    }
    EXPECT_EQ(client.GetState(), SdClient::State::kSubscribed);
    EXPECT_EQ(server.Subscribers(1).size(), 1U);
}

TEST_F(SomeipSdStatesTest, ServerForgetsASubscriberThatStopsRenewingAfterItsTtl) {
    StartBoth();
    std::vector<SdOutgoing> ignored;
    client.Stop(ignored);  // the client vanishes without its StopSubscribe arriving
    Advance(milliseconds(2900));
    EXPECT_EQ(server.Subscribers(1).size(), 1U);
    Advance(milliseconds(200));
    EXPECT_TRUE(server.Subscribers(1).empty());
    EXPECT_FALSE(server.HasSubscribers());
}

TEST_F(SomeipSdStatesTest, ClientGoesBackToSearchingWhenTheOfferTtlRunsOut) {
    StartBoth();
    serverUp = false;  // the server dies without StopOffer
    Advance(milliseconds(2900));
    EXPECT_EQ(client.GetState(), SdClient::State::kSubscribed);
    Advance(milliseconds(200));
    EXPECT_EQ(client.GetState(), SdClient::State::kSearching);
    EXPECT_FALSE(client.ServiceEndpoint());
    serverUp = true;  // and finds the service again through its FindService once it is back
    Advance(milliseconds(1000));
    EXPECT_EQ(client.GetState(), SdClient::State::kSubscribed);
}

TEST_F(SomeipSdStatesTest, StopOfferEndsTheSubscriptionAtOnce) {
    StartBoth();
    std::vector<SdOutgoing> out;
    server.StopOffer(out);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out[0].message.entries[0].type, EntryType::kOfferService);
    EXPECT_EQ(out[0].message.entries[0].ttl, 0U);
    EXPECT_TRUE(server.Subscribers(1).empty());
    serverUp = false;
    Exchange(std::move(out));
    EXPECT_EQ(client.GetState(), SdClient::State::kSearching);
}

TEST_F(SomeipSdStatesTest, StopSubscribeRemovesTheSubscriberAtOnce) {
    StartBoth();
    std::vector<SdOutgoing> out;
    client.Stop(out);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out[0].message.entries[0].ttl, 0U);
    Exchange(std::move(out));
    EXPECT_TRUE(server.Subscribers(1).empty());
    EXPECT_EQ(client.GetState(), SdClient::State::kStopped);
}

TEST_F(SomeipSdStatesTest, SubscriptionToAnUnknownEventgroupIsRefusedWithANack) {
    SdClient other{kService, 7, kServerSd, kClientEvents, timing};
    std::vector<SdOutgoing> out;
    server.Offer(now, out);
    other.Start(now, out);
    std::vector<SdOutgoing> answers;
    for (int round = 0; round < 4; ++round) {
        std::vector<SdOutgoing> next;
        for (const SdOutgoing& message : out) {
            if (message.to == kServerSd) {
                server.OnMessage(message.message, kClientSd, now, next);
            } else if (message.to == kClientSd) {
                other.OnMessage(message.message, kServerSd, now, next);
            }
            answers.push_back(message);
        }
        out = std::move(next);
    }
    EXPECT_EQ(other.GetState(), SdClient::State::kRefused);
    EXPECT_FALSE(server.HasSubscribers());
    bool nack = false;
    for (const SdOutgoing& message : answers) {
        for (const SdEntry& entry : message.message.entries) {
            nack = nack || (entry.type == EntryType::kSubscribeEventgroupAck && entry.ttl == 0);
        }
    }
    EXPECT_TRUE(nack);
}

TEST_F(SomeipSdStatesTest, OffersGoToTheMulticastGroupAndToEveryPeerThatFoundTheService) {
    const Endpoint group{0xE0F4E0F5, 30490};
    SdServer sut{kService, {1}, kServerEvents, timing, group};
    std::vector<SdOutgoing> out;
    sut.Offer(now, out);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out[0].to, group);
    SdMessage find;
    SdEntry entry;
    entry.type = EntryType::kFindService;
    entry.serviceId = kService.serviceId;
    entry.instanceId = kAnyInstance;
    find.entries.push_back(entry);
    out.clear();
    sut.OnMessage(find, kClientSd, now, out);
    ASSERT_EQ(out.size(), 1U);  // a unicast answer
    EXPECT_EQ(out[0].to, kClientSd);
    out.clear();
    sut.OnTimer(now + milliseconds(1000), out);
    EXPECT_EQ(out.size(), 2U);  // the group and the peer
    EXPECT_EQ(sut.NextDeadline(), now + milliseconds(2000));
}

// ---- whom the provider serves, and what a subscription may cost ----

SdEntry SubscribeFor(std::uint16_t eventgroup, const Endpoint& endpoint, std::uint32_t ttl = 3) {
    SdEntry entry;
    entry.type = EntryType::kSubscribeEventgroup;
    entry.serviceId = kService.serviceId;
    entry.instanceId = kService.instanceId;
    entry.majorVersion = kService.majorVersion;
    entry.eventgroupId = eventgroup;
    entry.ttl = ttl;
    entry.endpoint = endpoint;
    return entry;
}

SdMessage MessageOf(std::vector<SdEntry> entries) {
    SdMessage message;
    message.entries = std::move(entries);
    return message;
}

// The answers in `out` as (destination, entry) pairs, in order.
std::vector<std::pair<Endpoint, SdEntry>> Answers(const std::vector<SdOutgoing>& out) {
    std::vector<std::pair<Endpoint, SdEntry>> answers;
    for (const SdOutgoing& message : out) {
        for (const SdEntry& entry : message.message.entries) {
            answers.emplace_back(message.to, entry);
        }
    }
    return answers;
}

class SomeipSdServerPolicyTest : public ::testing::Test {
  protected:
    SdServer Offered(SdServerPolicy policy) {
        SdServer server{kService, {1}, kServerEvents, SdTiming{}, std::nullopt, std::move(policy)};
        std::vector<SdOutgoing> ignored;
        server.Offer(now, ignored);
        return server;
    }

    // Subscribes `endpoint` as sent from `from`; the TTL of the answer, 0 for a Nack.
    std::uint32_t Subscribe(SdServer& server, const Endpoint& from, const Endpoint& endpoint,
                            std::uint32_t ttl = 3) {
        std::vector<SdOutgoing> out;
        server.OnMessage(MessageOf({SubscribeFor(1, endpoint, ttl)}), from, now, out);
        const auto answers = Answers(out);
        EXPECT_EQ(answers.size(), 1U);
        EXPECT_EQ(answers.at(0).first, from);
        EXPECT_EQ(answers.at(0).second.type, EntryType::kSubscribeEventgroupAck);
        return answers.at(0).second.ttl;
    }

    SdClock::time_point now{};
};

TEST_F(SomeipSdServerPolicyTest, ASubscriptionNamingAnotherHostIsRefusedUnlessTheDeploymentNamesItsNetwork) {
    const Endpoint thirdParty{0x0A000009, 5000};  // 10.0.0.9
    SdServer strict = Offered({});
    EXPECT_EQ(Subscribe(strict, kClientSd, thirdParty), 0U);
    EXPECT_TRUE(strict.Subscribers(1).empty());
    EXPECT_EQ(strict.Refusals().Of(SdRefusal::kForeignEndpoint), 1U);
    // Nor may it unsubscribe someone else.
    EXPECT_EQ(Subscribe(strict, kClientSd, kClientEvents), 3U);
    std::vector<SdOutgoing> out;
    strict.OnMessage(MessageOf({SubscribeFor(1, kClientEvents, 0)}), Endpoint{0x0A000001, 30490}, now, out);
    EXPECT_EQ(strict.Subscribers(1), std::vector<Endpoint>{kClientEvents});

    SdServerPolicy policy;
    policy.foreignEndpoints = {*ParseIpv4Range("10.0.0.0/24")};
    SdServer allowing = Offered(policy);
    EXPECT_EQ(Subscribe(allowing, kClientSd, thirdParty), 3U);
    EXPECT_EQ(allowing.Subscribers(1), std::vector<Endpoint>{thirdParty});
    EXPECT_EQ(Subscribe(allowing, kClientSd, Endpoint{0x0A000109, 5000}), 0U);  // 10.0.1.9: outside
}

TEST_F(SomeipSdServerPolicyTest, SubscribersPerEventgroupAndTheirTtlAreCapped) {
    SdServerPolicy policy;
    policy.maxSubscribers = 2;
    policy.maxSubscribeTtl = 5;
    SdServer sut = Offered(policy);
    const auto host = [](std::uint32_t last) { return Endpoint{0x0A000000U + last, 40000}; };
    EXPECT_EQ(Subscribe(sut, host(1), host(1), 0xFFFFFE), 5U);  // 194 days asked, 5 s granted
    EXPECT_EQ(Subscribe(sut, host(2), host(2), 2), 2U);
    EXPECT_EQ(Subscribe(sut, host(3), host(3)), 0U);  // a third one is refused
    EXPECT_EQ(Subscribe(sut, host(1), host(1)), 3U);  // a renewal is not a new subscriber
    EXPECT_EQ(sut.Refusals().Of(SdRefusal::kTooManySubscribers), 1U);
    std::vector<SdOutgoing> out;
    sut.OnTimer(now + milliseconds(2500), out);  // host 2's two seconds are over, host 1's renewal is not
    EXPECT_EQ(sut.Subscribers(1), std::vector<Endpoint>{host(1)});
    EXPECT_EQ(Subscribe(sut, host(3), host(3)), 3U);  // room again once one expired
}

TEST_F(SomeipSdServerPolicyTest, TcpEndpointsAndHostsOutsideTheAllowedNetworksAreRefused) {
    SdServerPolicy policy;
    policy.allowedSenders = {*ParseIpv4Range("127.0.0.0/8")};
    SdServer sut = Offered(policy);
    SdEntry tcp = SubscribeFor(1, kClientEvents);
    tcp.endpoint.reset();
    tcp.tcpEndpoint = kClientEvents;
    std::vector<SdOutgoing> out;
    sut.OnMessage(MessageOf({tcp}), kClientSd, now, out);
    ASSERT_EQ(Answers(out).size(), 1U);
    EXPECT_EQ(Answers(out)[0].second.ttl, 0U);  // offered over UDP only: Nack
    EXPECT_EQ(sut.Refusals().Of(SdRefusal::kProtocolNotOffered), 1U);
    const Bytes wire = EncodeSd(MessageOf({tcp}), 1);  // the option's L4 protocol survives the wire
    EXPECT_EQ(wire[16 + 8 + 16 + 4 + 9], kProtocolTcp);
    EXPECT_EQ(DecodeSd(wire.data(), wire.size()).message->entries.at(0).tcpEndpoint, kClientEvents);

    // A host outside the allowed networks gets no answer at all, not even a Nack.
    out.clear();
    const Endpoint stranger{0x0A000005, 30490};
    SdEntry find;
    find.type = EntryType::kFindService;
    find.serviceId = kService.serviceId;
    find.instanceId = kAnyInstance;
    sut.OnMessage(MessageOf({find, SubscribeFor(1, Endpoint{stranger.address, 40000})}), stranger, now, out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(sut.Subscribers(1).empty());
    EXPECT_EQ(sut.Refusals().Of(SdRefusal::kForeignSender), 2U);
    EXPECT_EQ(sut.Refusals().Describe(), "foreignSender=2 protocolNotOffered=1");
}

TEST_F(SomeipSdServerPolicyTest, FindServiceIsAnsweredOnlyForTheVersionsItAsksFor) {
    SdServer sut = Offered({});
    const auto answered = [&](std::uint8_t major, std::uint32_t minor) {
        SdEntry find;
        find.type = EntryType::kFindService;
        find.serviceId = kService.serviceId;
        find.instanceId = kAnyInstance;
        find.majorVersion = major;
        find.minorVersion = minor;
        std::vector<SdOutgoing> out;
        sut.OnMessage(MessageOf({find}), kClientSd, now, out);
        return !out.empty();
    };
    EXPECT_TRUE(answered(1, 0));
    EXPECT_TRUE(answered(kAnyMajorVersion, kAnyMinorVersion));
    EXPECT_TRUE(answered(1, kAnyMinorVersion));
    EXPECT_FALSE(answered(2, 0));
    EXPECT_FALSE(answered(1, 5));
    EXPECT_FALSE(answered(2, kAnyMinorVersion));
}

TEST_F(SomeipSdServerPolicyTest, ThePeersOfferedToAreBoundedUnderAFloodOfFinds) {
    SdServerPolicy policy;
    policy.maxPeers = 8;
    SdServer sut = Offered(policy);
    SdEntry find;
    find.type = EntryType::kFindService;
    find.serviceId = kService.serviceId;
    find.instanceId = kAnyInstance;
    std::vector<SdOutgoing> out;
    for (std::uint32_t i = 0; i < 1000; ++i) {
        sut.OnMessage(MessageOf({find}), Endpoint{0x0A000000U + i, 30490}, now + milliseconds(i), out);
    }
    out.clear();
    sut.OnTimer(now + seconds(2), out);
    EXPECT_EQ(out.size(), 8U);
    EXPECT_EQ(out.back().to, (Endpoint{0x0A000000U + 999, 30490}));  // the newest are kept
}

TEST(SomeipSdMergeTest, AnswersToOneMessageLeaveAsOneMessagePerPartnerWithinTheEntryLimit) {
    SdServer sut{kService, {1}, kServerEvents, SdTiming{}, std::nullopt};
    std::vector<SdOutgoing> out;
    sut.Offer(SdClock::time_point{}, out);
    out.clear();
    // A flood of 85 entries: finds (one offer answers them all) and subscriptions to unknown eventgroups.
    std::vector<SdEntry> entries;
    for (std::uint16_t i = 0; i < 85; ++i) {
        if (i % 2 == 0) {
            SdEntry find;
            find.type = EntryType::kFindService;
            find.serviceId = kService.serviceId;
            find.instanceId = kAnyInstance;
            entries.push_back(find);
        } else {
            entries.push_back(SubscribeFor(static_cast<std::uint16_t>(100 + i), kClientEvents));
        }
    }
    sut.OnMessage(MessageOf(entries), kClientSd, SdClock::time_point{}, out);
    EXPECT_EQ(out.size(), 85U);
    MergeByDestination(out);
    ASSERT_EQ(out.size(), 1U);
    EXPECT_EQ(out[0].to, kClientSd);
    EXPECT_EQ(out[0].message.entries.size(), 1U + 42U);  // one offer and 42 Nacks
    const Bytes bytes = EncodeSd(out[0].message, 1);
    EXPECT_LT(bytes.size(), 1400U);

    // Past the limit, the rest goes in a second message; another partner gets its own.
    std::vector<SdOutgoing> many;
    for (std::uint16_t i = 0; i < 70; ++i) {
        many.push_back(SdOutgoing{kClientSd, MessageOf({SubscribeFor(i, kClientEvents)})});
    }
    many.push_back(SdOutgoing{kServerSd, MessageOf({SubscribeFor(1, kClientEvents)})});
    MergeByDestination(many, 64);
    ASSERT_EQ(many.size(), 3U);
    EXPECT_EQ(many[0].message.entries.size(), 64U);
    EXPECT_EQ(many[1].message.entries.size(), 6U);
    EXPECT_EQ(many[1].to, kClientSd);
    EXPECT_EQ(many[2].to, kServerSd);
}

TEST(SomeipSdSessionsTest, EachPartnerHasItsOwnSessionIdsAndRebootFlag) {
    SdSessions sut(2);
    const Endpoint a{0x0A000001, 30490};
    const Endpoint b{0x0A000002, 30490};
    for (std::uint32_t i = 1; i <= 0xFFFF; ++i) {
        const auto next = sut.For(a);
        ASSERT_EQ(next.sessionId, i);
        ASSERT_TRUE(next.reboot);
    }
    const auto wrapped = sut.For(a);
    EXPECT_EQ(wrapped.sessionId, 1U);
    EXPECT_FALSE(wrapped.reboot);
    const auto first = sut.For(b);  // a new partner starts at 1, flag set, whatever a's count
    EXPECT_EQ(first.sessionId, 1U);
    EXPECT_TRUE(first.reboot);
    EXPECT_EQ(sut.For(b).sessionId, 2U);
    (void)sut.For(Endpoint{0x0A000003, 30490});  // a third partner: the one unused longest (a) goes
    EXPECT_EQ(sut.Partners(), 2U);
    EXPECT_EQ(sut.For(b).sessionId, 3U);
    EXPECT_EQ(sut.For(a).sessionId, 1U);
}

TEST(SomeipSdClientTrustTest, OffersFromHostsTheDeploymentDoesNotNameAreIgnoredAndCounted) {
    const Endpoint provider{0x0A000001, 30490};
    SdClient sut{kService, 1, provider, kClientEvents, SdTiming{}, {*ParseIpv4Range("10.0.1.0/24")}};
    std::vector<SdOutgoing> out;
    const SdClock::time_point now{};
    sut.Start(now, out);
    const auto offer = [](const Endpoint& endpoint) {
        SdEntry entry;
        entry.type = EntryType::kOfferService;
        entry.serviceId = kService.serviceId;
        entry.instanceId = kService.instanceId;
        entry.majorVersion = kService.majorVersion;
        entry.ttl = 3;
        entry.endpoint = endpoint;
        return MessageOf({entry});
    };
    const Endpoint intruder{0x0A000063, 30490};  // 10.0.0.99
    sut.OnMessage(offer(Endpoint{intruder.address, 30501}), intruder, now, out);
    // The real provider's address, offering events from someone else's.
    sut.OnMessage(offer(Endpoint{intruder.address, 30501}), provider, now, out);
    SdMessage tcp = offer(Endpoint{provider.address, 30501});
    tcp.entries[0].endpoint.reset();  // offered over TCP only: nothing for a client on UDP
    tcp.entries[0].tcpEndpoint = Endpoint{provider.address, 30501};
    sut.OnMessage(tcp, provider, now, out);
    EXPECT_EQ(sut.GetState(), SdClient::State::kSearching);
    EXPECT_EQ(sut.ForeignOffers(), 3U);
    // A provider in the allowed network is taken.
    const Endpoint backup{0x0A000105, 30490};  // 10.0.1.5
    sut.OnMessage(offer(Endpoint{backup.address, 30501}), backup, now, out);
    EXPECT_EQ(sut.GetState(), SdClient::State::kSubscribing);
    EXPECT_EQ(sut.ServiceEndpoint(), (Endpoint{backup.address, 30501}));
}

// Over TCP the subscriber connects first and subscribes with its end of the connection; the subscription
// lives as long as the connection.
TEST(SomeipSdTcpTest, AReliableSubscriptionNeedsItsConnectionAndEndsWithIt) {
    const Endpoint serverTcp{kServerEvents.address, 30502};
    SdServer server{kService, {1}, kServerEvents, SdTiming{}, std::nullopt};
    server.OfferTcp(serverTcp);
    SdClient sut{kService, 1, kServerSd, kClientEvents, SdTiming{}, {}, true};
    SdClock::time_point now{};
    std::vector<SdOutgoing> out;
    server.Offer(now, out);
    sut.Start(now, out);
    // Find, and the offer naming both endpoints.
    std::vector<SdOutgoing> answers;
    server.OnMessage(out.at(0).message.entries.at(0).type == EntryType::kOfferService ? out.at(1).message
                                                                                      : out.at(0).message,
                     kClientSd, now, answers);
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0].message.entries.at(0).tcpEndpoint, serverTcp);
    EXPECT_EQ(answers[0].message.entries.at(0).endpoint, kServerEvents);
    out.clear();
    sut.OnMessage(answers[0].message, kServerSd, now, out);
    EXPECT_EQ(sut.GetState(), SdClient::State::kConnecting);
    EXPECT_TRUE(out.empty());  // no subscription before the connection
    EXPECT_EQ(sut.WantedConnection(), serverTcp);

    const Endpoint local{kClientEvents.address, 45000};
    sut.OnConnected(local, now, out);
    ASSERT_EQ(out.size(), 1U);
    const SdEntry subscribe = out[0].message.entries.at(0);
    EXPECT_EQ(subscribe.tcpEndpoint, local);
    EXPECT_FALSE(subscribe.endpoint);
    // The server has not seen the connection yet: Nack; once it has, the subscription is granted.
    answers.clear();
    server.OnMessage(out[0].message, kClientSd, now, answers);
    EXPECT_EQ(answers.at(0).message.entries.at(0).ttl, 0U);
    EXPECT_EQ(server.Refusals().Of(SdRefusal::kNotConnected), 1U);
    server.TcpConnected(local);
    answers.clear();
    server.OnMessage(out[0].message, kClientSd, now, answers);
    EXPECT_EQ(answers.at(0).message.entries.at(0).ttl, 3U);
    EXPECT_EQ(server.Subscribers(1, true), std::vector<Endpoint>{local});
    EXPECT_TRUE(server.Subscribers(1).empty());
    out.clear();
    sut.OnMessage(answers[0].message, kServerSd, now, out);
    EXPECT_EQ(sut.GetState(), SdClient::State::kSubscribed);

    server.TcpClosed(local);
    EXPECT_TRUE(server.Subscribers(1, true).empty());
    sut.OnConnectionLost();
    EXPECT_EQ(sut.GetState(), SdClient::State::kConnecting);
    EXPECT_EQ(sut.WantedConnection(), serverTcp);  // and it connects again
}

}  // namespace
}  // namespace vrt::cm::someip
