// The SOME/IP header, SOME/IP-TP reassembly and the receive path, without sockets.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "someip_message.h"
#include "someip_receive_path.h"
#include "someip_tp.h"

namespace vrt::cm::someip {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = TpReassembler::Clock;

constexpr std::uint16_t kService = 0x1001;
constexpr std::uint16_t kEvent = 0x88E5;

Bytes Message(const Header& header, const Bytes& body) {
    Bytes out(kHeaderSize);
    Header h = header;
    h.length = static_cast<std::uint32_t>(kLengthCoveredHeader + body.size());
    EncodeHeader(h, out.data());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Header Notification(std::uint16_t session = 1) {
    Header header;
    header.serviceId = kService;
    header.methodId = kEvent;
    header.sessionId = session;
    return header;
}

Bytes Segment(std::uint16_t session, std::uint32_t offset, bool more, const Bytes& payload) {
    Header header = Notification(session);
    header.messageType = static_cast<std::uint8_t>(0x02 | kTpFlag);
    Bytes body(kTpHeaderSize);
    EncodeTpHeader(TpHeader{offset, more}, body.data());
    body.insert(body.end(), payload.begin(), payload.end());
    return Message(header, body);
}

Bytes Pattern(std::size_t size, std::uint8_t seed = 1) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7U);
    }
    return bytes;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t size) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + size));
}

TEST(SomeipHeaderTest, EncodesEveryFieldBigEndianInItsPlace) {
    Header header;
    header.serviceId = 0x1001;
    header.methodId = 0x88E5;
    header.length = 0x0000010C;
    header.clientId = 0x0A0B;
    header.sessionId = 0xFFFE;
    header.interfaceVersion = 3;
    header.messageType = 0x22;
    Bytes out(kHeaderSize);
    EncodeHeader(header, out.data());
    EXPECT_EQ(out, (Bytes{0x10, 0x01, 0x88, 0xE5, 0x00, 0x00, 0x01, 0x0C, 0x0A, 0x0B, 0xFF, 0xFE, 0x01, 0x03,
                          0x22, 0x00}));
    Bytes datagram = out;
    datagram.resize(8 + 0x10C);
    const DecodedHeader decoded = DecodeHeader(datagram.data(), datagram.size());
    ASSERT_TRUE(decoded.header);
    EXPECT_EQ(decoded.header->sessionId, 0xFFFE);
    EXPECT_TRUE(decoded.header->IsTp());
    EXPECT_EQ(decoded.header->BaseType(), MessageType::kNotification);
}

TEST(SomeipHeaderTest, RefusesShortDatagramsLengthsThatDisagreeAndOtherProtocolVersions) {
    const Bytes good = Message(Notification(), Pattern(10));
    EXPECT_EQ(DecodeHeader(good.data(), 15).error, HeaderError::kTruncated);
    EXPECT_EQ(DecodeHeader(good.data(), good.size() - 1).error, HeaderError::kWrongLength);
    Bytes shortLength = good;
    shortLength[7] = 7;  // below the 8 header bytes the length covers
    EXPECT_EQ(DecodeHeader(shortLength.data(), shortLength.size()).error, HeaderError::kWrongLength);
    Bytes huge = good;
    huge[4] = 0xFF;
    EXPECT_EQ(DecodeHeader(huge.data(), huge.size()).error, HeaderError::kWrongLength);
    Bytes version = good;
    version[12] = 2;
    EXPECT_EQ(DecodeHeader(version.data(), version.size()).error, HeaderError::kWrongProtocolVersion);
}

TEST(SomeipTpHeaderTest, CarriesTheOffsetInSixteenByteUnitsAndTheMoreFlagInTheLowestBit) {
    Bytes out(4);
    EncodeTpHeader(TpHeader{1392 * 3, true}, out.data());
    EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x10, 0x51}));  // 4176 = 0x1050, more = 1
    const TpHeader back = DecodeTpHeader(out.data());
    EXPECT_EQ(back.offset, 4176U);
    EXPECT_TRUE(back.moreSegments);
    EXPECT_EQ(SegmentPayloadSize(1400), 1392U);
    EXPECT_EQ(SegmentPayloadSize(5), 16U);
}

TEST(SomeipSessionTest, CountsFromOneAndWrapsPastZero) {
    SessionCounter sut;
    EXPECT_EQ(sut.Next(), 1);
    for (int i = 2; i < 0xFFFF; ++i) {
        sut.Next();
    }
    EXPECT_EQ(sut.Next(), 0xFFFF);
    EXPECT_EQ(sut.Next(), 1);
}

TEST(SomeipSessionTest, TrackerCountsTheSessionsSkippedAcrossTheWrap) {
    SessionTracker sut;
    EXPECT_EQ(sut.Advance(0xFFFD).lost, 0U);
    EXPECT_EQ(sut.Advance(0xFFFE).lost, 0U);
    const auto step = sut.Advance(2);  // 0xFFFF and 1 were lost; 0 is never sent
    EXPECT_EQ(step.order, SessionTracker::Order::kNext);
    EXPECT_EQ(step.lost, 2U);
    EXPECT_EQ(sut.Sequence(), 4U);
}

TEST(SomeipSessionTest, AReorderedMessageIsLateNotAWrapOfLosses) {
    SessionTracker sut;
    sut.Advance(10);
    const auto twelve = sut.Advance(12);
    EXPECT_EQ(twelve.lost, 1U);
    EXPECT_EQ(sut.Sequence(), 2U);
    const auto eleven = sut.Advance(11);
    EXPECT_EQ(eleven.order, SessionTracker::Order::kLate);
    EXPECT_FALSE(eleven.Deliver());
    EXPECT_EQ(eleven.lost, 0U);
    EXPECT_EQ(sut.Sequence(), 2U);  // 11 stays lost: 12 went out before it
    const auto thirteen = sut.Advance(13);
    EXPECT_EQ(thirteen.order, SessionTracker::Order::kNext);
    EXPECT_EQ(thirteen.lost, 0U);
    EXPECT_EQ(sut.Sequence(), 3U);
    // Across the wrap too: 1 arriving after 2 fills the gap it left.
    SessionTracker wrap;
    wrap.Advance(0xFFFF);
    EXPECT_EQ(wrap.Advance(2).lost, 1U);
    EXPECT_EQ(wrap.Advance(1).order, SessionTracker::Order::kLate);
}

TEST(SomeipSessionTest, RepeatedIdsAreDuplicates) {
    SessionTracker sut;
    sut.Advance(10);
    sut.Advance(11);
    EXPECT_EQ(sut.Advance(11).order, SessionTracker::Order::kDuplicate);
    sut.Advance(13);
    EXPECT_EQ(sut.Advance(11).order, SessionTracker::Order::kDuplicate);
    EXPECT_EQ(sut.Advance(12).order, SessionTracker::Order::kLate);
    EXPECT_EQ(sut.Advance(12).order, SessionTracker::Order::kDuplicate);
    EXPECT_EQ(sut.Sequence(), 3U);
}

TEST(SomeipSessionTest, NumberingThatStartsOverIsARestartAndTheSequenceDropsBack) {
    SessionTracker sut;
    for (std::uint16_t session = 1; session <= 500; ++session) {
        sut.Advance(session);
    }
    EXPECT_EQ(sut.Sequence(), 499U);
    const auto restart = sut.Advance(1);
    EXPECT_EQ(restart.order, SessionTracker::Order::kRestart);
    EXPECT_TRUE(restart.Deliver());
    EXPECT_EQ(restart.lost, 0U);
    EXPECT_EQ(sut.Sequence(), 0U);
    EXPECT_EQ(sut.Advance(2).order, SessionTracker::Order::kNext);
    EXPECT_EQ(sut.Sequence(), 1U);
    // A restart whose first messages were lost: far behind the newest id.
    for (std::uint16_t session = 3; session <= 400; ++session) {
        sut.Advance(session);
    }
    EXPECT_EQ(sut.Advance(5).order, SessionTracker::Order::kRestart);
    EXPECT_EQ(sut.Sequence(), 0U);
}

TEST(SomeipSessionTest, TheWrapFromFfffToOneIsNoRestart) {
    SessionTracker sut;
    sut.Advance(0xFFFE);
    sut.Advance(0xFFFF);
    const auto wrapped = sut.Advance(1);
    EXPECT_EQ(wrapped.order, SessionTracker::Order::kNext);
    EXPECT_EQ(wrapped.lost, 0U);
    EXPECT_EQ(sut.Sequence(), 2U);
}

class TpReassemblerTest : public ::testing::Test {
  protected:
    static TpReassembler::Key KeyOf(std::uint16_t session, std::uint16_t port = 40000) {
        return TpReassembler::Key{0x7F000001, port, kService << 16U | kEvent, 0, session};
    }
    TpReassembler::Result Add(std::uint16_t session, std::uint32_t offset, bool more, const Bytes& payload,
                              Clock::time_point at, std::uint16_t port = 40000) {
        return sut.Add(KeyOf(session, port), TpHeader{offset, more}, payload.data(), payload.size(), at);
    }

    Clock::time_point now = Clock::now();
    TpReassembler sut{ReassemblyLimits{4096, 3, std::chrono::milliseconds(100)}};
};

TEST_F(TpReassemblerTest, PutsSegmentsArrivingInAnyOrderBackTogether) {
    const Bytes payload = Pattern(1000);
    EXPECT_EQ(Add(1, 960, false, Slice(payload, 960, 40), now).outcome, TpReassembler::Outcome::kIncomplete);
    EXPECT_EQ(Add(1, 0, true, Slice(payload, 0, 480), now).outcome, TpReassembler::Outcome::kIncomplete);
    EXPECT_EQ(Add(1, 480, true, Slice(payload, 480, 480), now).outcome, TpReassembler::Outcome::kComplete);
    EXPECT_EQ(sut.TakeMessage(), payload);
    EXPECT_EQ(sut.InProgress(), 0U);
}

TEST_F(TpReassemblerTest, IgnoresARepeatedSegmentAndStillCompletes) {
    const Bytes payload = Pattern(64);
    Add(2, 0, true, Slice(payload, 0, 32), now);
    const auto repeated = Add(2, 0, true, Slice(payload, 0, 32), now);
    EXPECT_EQ(repeated.outcome, TpReassembler::Outcome::kIncomplete);
    EXPECT_EQ(repeated.reason, DropReason::kTpDuplicate);
    EXPECT_EQ(Add(2, 32, false, Slice(payload, 32, 32), now).outcome, TpReassembler::Outcome::kComplete);
    EXPECT_EQ(sut.TakeMessage(), payload);
}

TEST_F(TpReassemblerTest, DropsTheMessageOfAnOverlappingSegment) {
    Add(3, 0, true, Pattern(32), now);
    const auto overlap = Add(3, 16, true, Pattern(32), now);
    EXPECT_EQ(overlap.outcome, TpReassembler::Outcome::kDropped);
    EXPECT_EQ(overlap.reason, DropReason::kTpOverlap);
    EXPECT_EQ(sut.InProgress(), 0U);
}

TEST_F(TpReassemblerTest, RefusesOffsetsPastTheEndAndMessagesOverTheLimit) {
    EXPECT_EQ(Add(4, 4096, true, Pattern(16), now).reason, DropReason::kTpBadOffset);
    EXPECT_EQ(Add(5, 4080, false, Pattern(32), now).reason, DropReason::kTpTooLarge);
    // After the last segment fixed the size, nothing may lie beyond it.
    Add(6, 32, false, Pattern(16), now);
    EXPECT_EQ(Add(6, 48, true, Pattern(16), now).reason, DropReason::kTpBadOffset);
    // A middle segment must be a multiple of 16 bytes, or the next offset could not follow it.
    EXPECT_EQ(Add(7, 0, true, Pattern(20), now).reason, DropReason::kTpBadOffset);
    EXPECT_EQ(sut.InProgress(), 0U);
}

TEST_F(TpReassemblerTest, AFloodOfPartialMessagesKeepsAtMostTheLimitInMemory) {
    std::size_t evicted = 0;
    std::size_t refused = 0;
    for (std::uint16_t session = 1; session <= 1000; ++session) {
        const auto port = static_cast<std::uint16_t>(40000 + session % 5);
        const auto result = Add(session, 0, true, Pattern(1024), now, port);
        evicted += result.evicted;
        refused += result.reason == DropReason::kTpRefused ? 1U : 0U;
        ASSERT_LE(sut.InProgress(), 3U);
        ASSERT_LE(sut.MessagesOf(0x7F000001, port), 1U);  // half of 3, at least 1
        ASSERT_LE(sut.BufferedBytes(), 3U * 4096U);
    }
    EXPECT_EQ(evicted + refused, 997U);  // every message but the last three gave way or was refused
}

TEST_F(TpReassemblerTest, ReusesTheBufferOfAMessageHandedBack) {
    const Bytes payload = Pattern(2000);
    Add(1, 0, true, Slice(payload, 0, 1024), now);
    ASSERT_EQ(Add(1, 1024, false, Slice(payload, 1024, 976), now).outcome, TpReassembler::Outcome::kComplete);
    std::vector<std::uint8_t> first = sut.TakeMessage();
    const std::uint8_t* storage = first.data();
    sut.Recycle(std::move(first));
    Add(2, 0, true, Slice(payload, 0, 1024), now);
    ASSERT_EQ(Add(2, 1024, false, Slice(payload, 1024, 976), now).outcome, TpReassembler::Outcome::kComplete);
    const std::vector<std::uint8_t> second = sut.TakeMessage();
    EXPECT_EQ(second, payload);
    EXPECT_EQ(second.data(), storage);
}

// The deployed limits: 4 MiB messages, 8 at once.
class TpReassemblerLimitsTest : public TpReassemblerTest {
  protected:
    static constexpr std::size_t kMax = 4U * 1024U * 1024U;
    TpReassembler deployed{ReassemblyLimits{}};

    TpReassembler::Result AddTo(TpReassembler& reassembler, std::uint16_t port, std::uint16_t session,
                                std::uint32_t offset, bool more, const Bytes& payload) {
        return reassembler.Add(KeyOf(session, port), TpHeader{offset, more}, payload.data(), payload.size(),
                               now);
    }
};

TEST_F(TpReassemblerLimitsTest, AFarSegmentHoldsOnlyTheBytesThatArrived) {
    const auto far = AddTo(deployed, 40000, 1, kMax - 16U, false, Pattern(16));
    EXPECT_EQ(far.outcome, TpReassembler::Outcome::kIncomplete);
    EXPECT_LT(deployed.BufferedBytes(), 1024U);
    EXPECT_LT(deployed.HeldBytes(), 1024U);
    // Every segment of a message but the first, arriving first: memory follows the bytes received.
    const Bytes payload = Pattern(64U * 1392U, 3);
    for (std::size_t segment = 63; segment >= 1; --segment) {
        AddTo(deployed, 40001, 2, static_cast<std::uint32_t>(segment * 1392U), segment != 63,
              Slice(payload, segment * 1392U, 1392U));
    }
    EXPECT_LE(deployed.BufferedBytesOf(0x7F000001, 40001), 63U * (1392U + TpReassembler::kRunCost));
    EXPECT_LE(deployed.HeldBytes(), 2U * deployed.BufferedBytes());
    ASSERT_EQ(AddTo(deployed, 40001, 2, 0, true, Slice(payload, 0, 1392)).outcome,
              TpReassembler::Outcome::kComplete);
    EXPECT_EQ(deployed.TakeMessage(), payload);
}

TEST_F(TpReassemblerLimitsTest, AFloodingSenderCannotPushOutAnotherSendersMessage) {
    const Bytes frame = Pattern(3U * 1392U, 5);
    AddTo(deployed, 50000, 7, 0, true, Slice(frame, 0, 1392));
    std::size_t evicted = 0;
    for (std::uint16_t session = 1; session <= 2000; ++session) {
        const auto result = AddTo(deployed, 40000, session, kMax - 16U, false, Pattern(16));
        EXPECT_NE(result.outcome, TpReassembler::Outcome::kDropped);
        evicted += result.evicted;
    }
    EXPECT_EQ(deployed.MessagesOf(0x7F000001, 40000), 4U);  // half of the 8
    EXPECT_EQ(evicted, 1996U);                              // its own, each time
    // More flooding senders fill the rest; a sender with nothing in progress is then refused.
    for (std::uint16_t port = 40001; port <= 40003; ++port) {
        for (std::uint16_t session = 1; session <= 10; ++session) {
            AddTo(deployed, port, session, kMax - 16U, false, Pattern(16));
        }
    }
    EXPECT_EQ(deployed.InProgress(), 8U);
    EXPECT_EQ(AddTo(deployed, 40004, 1, 0, true, Pattern(16)).reason, DropReason::kTpRefused);
    AddTo(deployed, 50000, 7, 1392, true, Slice(frame, 1392, 1392));
    ASSERT_EQ(AddTo(deployed, 50000, 7, 2784, false, Slice(frame, 2784, 1392)).outcome,
              TpReassembler::Outcome::kComplete);
    EXPECT_EQ(deployed.TakeMessage(), frame);
}

TEST_F(TpReassemblerLimitsTest, PerSenderLimitsHoldAndTheSendersNewestMessageWins) {
    TpReassembler small{ReassemblyLimits{4096, 8, std::chrono::milliseconds(100), 2, 6000, 8000}};
    const Bytes part = Pattern(1024);
    for (std::uint16_t session = 1; session <= 40; ++session) {
        for (std::uint32_t offset = 0; offset < 3U * 1024U; offset += 1024U) {
            const auto result = AddTo(small, 40000, session, offset, true, part);
            ASSERT_NE(result.outcome, TpReassembler::Outcome::kDropped) << session << " " << offset;
            ASSERT_LE(small.MessagesOf(0x7F000001, 40000), 2U);
            ASSERT_LE(small.BufferedBytesOf(0x7F000001, 40000), 6000U);
        }
    }
    // A second sender gets what the first leaves of the total, and cannot take the first's share.
    for (std::uint16_t session = 1; session <= 40; ++session) {
        for (std::uint32_t offset = 0; offset < 3U * 1024U; offset += 1024U) {
            ASSERT_NE(AddTo(small, 40001, session, offset, true, part).outcome,
                      TpReassembler::Outcome::kDropped);
            ASSERT_LE(small.BufferedBytes(), 8000U);
        }
    }
    EXPECT_EQ(small.MessagesOf(0x7F000001, 40000), 1U);  // its newest, of 3 KiB
    EXPECT_EQ(small.BufferedBytesOf(0x7F000001, 40000), 3072U);
    EXPECT_EQ(small.BufferedBytesOf(0x7F000001, 40001), 3072U);
}

TEST_F(TpReassemblerTest, ForgetsAMessageWhoseSegmentsStopAfterTheTimeout) {
    Add(8, 0, true, Pattern(16), now);
    EXPECT_EQ(sut.Expire(now + std::chrono::milliseconds(99)), 0U);
    EXPECT_EQ(sut.Expire(now + std::chrono::milliseconds(100)), 1U);
    EXPECT_EQ(sut.InProgress(), 0U);
}

class ReceivePathTest : public ::testing::Test {
  protected:
    void Feed(const Bytes& datagram, std::uint16_t sourcePort = 40000) {
        sut.OnDatagram(datagram.data(), datagram.size(), 0x7F000001, sourcePort, now);
    }

    Clock::time_point now = Clock::now();
    std::vector<Bytes> delivered;
    std::vector<std::uint16_t> sessions;
    ReceivePath sut{kService, kEvent, ReassemblyLimits{1 << 20, 4, std::chrono::milliseconds(100)},
                    [this](const Header& header, const std::uint8_t* payload, std::size_t size) {
                        delivered.emplace_back(payload, payload + size);
                        sessions.push_back(header.sessionId);
                    }};
};

TEST_F(ReceivePathTest, DeliversPlainAndSegmentedNotificationsAndSeveralMessagesOfOneDatagram) {
    const Bytes big = Pattern(3000, 9);
    Bytes two = Message(Notification(1), Pattern(5));
    const Bytes second = Message(Notification(2), Pattern(7));
    two.insert(two.end(), second.begin(), second.end());
    Feed(two);
    Feed(Segment(3, 1392, true, Slice(big, 1392, 1392)));
    Feed(Segment(3, 0, true, Slice(big, 0, 1392)));
    Feed(Segment(3, 2784, false, Slice(big, 2784, 216)));
    ASSERT_EQ(delivered.size(), 3U);
    EXPECT_EQ(delivered[0], Pattern(5));
    EXPECT_EQ(delivered[1], Pattern(7));
    EXPECT_EQ(delivered[2], big);
    EXPECT_EQ(sessions, (std::vector<std::uint16_t>{1, 2, 3}));
    EXPECT_EQ(sut.Drops().Total(), 0U);
}

TEST_F(ReceivePathTest, DropsAndCountsEveryKindOfBadDatagram) {
    const Bytes good = Message(Notification(), Pattern(20));
    Feed(Slice(good, 0, 10));  // truncated header
    Bytes wrongLength = good;
    wrongLength[7] = 200;
    Feed(wrongLength);
    // A notification with one header field changed.
    const auto feedChanged = [this](void (*change)(Header&), std::size_t payload) {
        Header header = Notification();
        change(header);
        Feed(Message(header, Pattern(payload)));
    };
    feedChanged([](Header& h) { h.serviceId = 0x2002; }, 4);  // other service
    feedChanged([](Header& h) { h.methodId = 0x8001; }, 4);   // other event
    feedChanged([](Header& h) { h.messageType = 0x00; }, 4);  // a request
    feedChanged([](Header& h) { h.messageType = 0x22; }, 2);  // SOME/IP-TP without its TP header
    Feed(Segment(9, 1 << 20, false, Pattern(16)));            // offset past the largest message
    Feed(Segment(10, 0, true, Pattern(32)));
    Feed(Segment(10, 16, false, Pattern(32)));  // overlaps the first
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(sut.Drops().Of(DropReason::kTruncated), 2U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kWrongLength), 1U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kUnknownService), 1U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kUnknownMethod), 1U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kWrongProtocol), 1U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpBadOffset), 1U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpOverlap), 1U);
    EXPECT_EQ(sut.Drops().Describe(),
              "truncated=2 wrongLength=1 wrongProtocol=1 unknownService=1 unknownMethod=1 tpBadOffset=1 "
              "tpOverlap=1");
    Feed(good);  // and the path still works
    EXPECT_EQ(delivered.size(), 1U);
}

TEST_F(ReceivePathTest, CountsPartialMessagesPushedOutByAFloodRefusedAndTimedOut) {
    for (std::uint16_t session = 1; session <= 10; ++session) {
        Feed(Segment(session, 0, true, Pattern(16)));
    }
    EXPECT_EQ(sut.PartialMessages(), 2U);  // half of the 4 for one sender
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpEvicted), 8U);
    Feed(Segment(1, 0, true, Pattern(16)), 40001);
    Feed(Segment(2, 0, true, Pattern(16)), 40001);
    Feed(Segment(1, 0, true, Pattern(16)), 40002);  // no room left, and nothing of its own to give up
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpRefused), 1U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpEvicted), 8U);
    sut.Expire(now + std::chrono::seconds(1));
    EXPECT_EQ(sut.PartialMessages(), 0U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpTimedOut), 4U);
    EXPECT_EQ(sut.Drops().Describe(), "tpTimedOut=4 tpEvicted=8 tpRefused=1");
}

}  // namespace
}  // namespace vrt::cm::someip
