// The SOME/IP header, SOME/IP-TP reassembly and the receive path, without sockets.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vrt/cm/someip/someip_message.h"
#include "vrt/cm/someip/someip_receive_path.h"
#include "vrt/cm/someip/someip_tp.h"

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
    EXPECT_EQ(sut.Advance(0xFFFD), 0U);
    EXPECT_EQ(sut.Advance(0xFFFE), 0U);
    EXPECT_EQ(sut.Advance(2), 2U);  // 0xFFFF and 1 were lost; 0 is never sent
    EXPECT_EQ(sut.Sequence(), 4U);
}

class TpReassemblerTest : public ::testing::Test {
  protected:
    TpReassembler::Result Add(std::uint16_t session, std::uint32_t offset, bool more, const Bytes& payload,
                              Clock::time_point at) {
        TpReassembler::Key key{0x7F000001, 40000, kService << 16U | kEvent, 0, session};
        return sut.Add(key, TpHeader{offset, more}, payload.data(), payload.size(), at);
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
    for (std::uint16_t session = 1; session <= 1000; ++session) {
        evicted += Add(session, 0, true, Pattern(1024), now).alsoDroppedOther ? 1U : 0U;
        ASSERT_LE(sut.InProgress(), 3U);
    }
    EXPECT_EQ(evicted, 997U);
    EXPECT_LE(sut.BufferedBytes(), 3U * 4096U);
}

TEST_F(TpReassemblerTest, ForgetsAMessageWhoseSegmentsStopAfterTheTimeout) {
    Add(8, 0, true, Pattern(16), now);
    EXPECT_EQ(sut.Expire(now + std::chrono::milliseconds(99)), 0U);
    EXPECT_EQ(sut.Expire(now + std::chrono::milliseconds(100)), 1U);
    EXPECT_EQ(sut.InProgress(), 0U);
}

class ReceivePathTest : public ::testing::Test {
  protected:
    void Feed(const Bytes& datagram) {
        sut.OnDatagram(datagram.data(), datagram.size(), 0x7F000001, 40000, now);
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

TEST_F(ReceivePathTest, CountsPartialMessagesPushedOutByAFloodAndThoseThatTimeOut) {
    for (std::uint16_t session = 1; session <= 10; ++session) {
        Feed(Segment(session, 0, true, Pattern(16)));
    }
    EXPECT_EQ(sut.PartialMessages(), 4U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpEvicted), 6U);
    sut.Expire(now + std::chrono::seconds(1));
    EXPECT_EQ(sut.PartialMessages(), 0U);
    EXPECT_EQ(sut.Drops().Of(DropReason::kTpTimedOut), 4U);
}

}  // namespace
}  // namespace vrt::cm::someip
