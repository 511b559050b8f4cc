// SOME/IP service discovery: the message codec byte by byte, and every state change of the server and the
// client state machines on a fake clock.
#include <gtest/gtest.h>

#include <vector>

#include "vrt/cm/someip/someip_sd.h"
#include "vrt/cm/someip/someip_sd_state.h"

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

}  // namespace
}  // namespace vrt::cm::someip
