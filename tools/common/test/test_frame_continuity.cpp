// The slice header reader and the loss count on NAL units written bit by bit here, so that every field the
// reader skips or reads is one the test chose.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "crafted_nal_units.h"
#include "frame_continuity.h"
#include "slice_header.h"

namespace camera_tools {
namespace {

using namespace camera_tools::test;

TEST(SliceHeaderReaderTest, ReadsTheH264FrameNumberBehindScalingListsAndEscapedBytes) {
    SliceHeaderReader sut(VideoCodec::kH264);
    const auto key = sut.Read(H264Frame(true, 0, 16).data(), H264Frame(true, 0, 16).size());
    ASSERT_TRUE(key.has_value());
    EXPECT_TRUE(key->randomAccess);
    EXPECT_EQ(key->number, 0);
    EXPECT_EQ(key->modulus, 65536);

    // first_mb_in_slice 2^22 - 1 begins with 22 zero bits: the unit carries 00 00 03 there.
    const auto slice = H264Slice(false, 0xBEEF, 16, (1U << 22U) - 1U);
    ASSERT_EQ(std::vector<std::uint8_t>(slice.begin() + 5, slice.begin() + 8),
              (std::vector<std::uint8_t>{0, 0, 3}));
    const auto position = sut.Read(slice.data(), slice.size());
    ASSERT_TRUE(position.has_value());
    EXPECT_FALSE(position->randomAccess);
    EXPECT_TRUE(position->reference);
    EXPECT_EQ(position->number, 0xBEEF);

    const auto disposable = H264Slice(false, 7, 16, 0, false);
    EXPECT_FALSE(sut.Read(disposable.data(), disposable.size())->reference);
}

TEST(SliceHeaderReaderTest, RefusesSlicesItCannotPlace) {
    SliceHeaderReader sut(VideoCodec::kH264);
    const auto slice = H264Slice(false, 3, 5);
    EXPECT_FALSE(sut.Read(slice.data(), slice.size())) << "no parameter sets seen yet";

    const auto key = H264Frame(true, 0, 5);
    ASSERT_TRUE(sut.Read(key.data(), key.size()));
    // Cut inside frame_num, and a unit of only its header.
    const std::vector<std::uint8_t> cut(slice.begin(), slice.begin() + 6);
    EXPECT_FALSE(sut.Read(cut.data(), cut.size()));
    const std::vector<std::uint8_t> bare{0, 0, 1, 0x41};
    EXPECT_FALSE(sut.Read(bare.data(), bare.size()));
    // A picture set that names a sequence set never sent.
    const auto stray = Join({NalWriter({0x68}).Unsigned(6).Unsigned(30).Unit(),
                             NalWriter({0x41}).Unsigned(0).Unsigned(5).Unsigned(6).Bits(1, 5).Unit()});
    EXPECT_FALSE(sut.Read(stray.data(), stray.size()));
    // A first_mb_in_slice of more than 32 bits.
    const std::vector<std::uint8_t> endless{0, 0, 1, 0x41, 0, 0, 3, 0, 0, 3, 0, 0, 3, 0, 0, 3, 0, 0, 3, 1};
    EXPECT_FALSE(sut.Read(endless.data(), endless.size()));
    EXPECT_TRUE(sut.Read(slice.data(), slice.size()));
}

TEST(SliceHeaderReaderTest, DerivesTheH265OrderCountAcrossTheWrapOfItsLowBits) {
    SliceHeaderReader sut(VideoCodec::kH265);
    const auto key = H265Frame(true, 0, 4);  // MaxPicOrderCntLsb 16
    const auto idr = sut.Read(key.data(), key.size());
    ASSERT_TRUE(idr.has_value());
    EXPECT_TRUE(idr->randomAccess);
    EXPECT_TRUE(idr->numberingRestarts);
    EXPECT_EQ(idr->number, 0);
    EXPECT_EQ(idr->modulus, 16);

    std::vector<std::int64_t> counts;
    for (std::uint32_t poc = 1; poc <= 40; poc += 3) {
        const auto frame = H265Frame(false, poc % 16, 4);
        const auto position = sut.Read(frame.data(), frame.size());
        ASSERT_TRUE(position.has_value()) << poc;
        EXPECT_FALSE(position->randomAccess);
        counts.push_back(position->number);
    }
    EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40}));

    // A clean random access picture carries its count on.
    const auto cra = H265Slice(21, 43 % 16, 4);
    const auto position = sut.Read(cra.data(), cra.size());
    ASSERT_TRUE(position.has_value());
    EXPECT_TRUE(position->randomAccess);
    EXPECT_FALSE(position->numberingRestarts);
    EXPECT_EQ(position->number, 43);
}

// Frame i stamped i x 33 ms.
constexpr std::int64_t kFrameNs = 33000000;

struct Outcome {
    std::uint64_t lost;
    bool damaged;
    bool operator==(const Outcome& other) const { return lost == other.lost && damaged == other.damaged; }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
    return out << "{" << outcome.lost << ", " << outcome.damaged << "}";
}

TEST(FrameContinuityTrackerTest, CountsH264FramesLostAndFramesDamagedUntilTheNextIdr) {
    FrameContinuityTracker sut(VideoCodec::kH264);
    std::vector<Outcome> outcomes;
    // GOP of 8, MaxFrameNum 32: frames 3, 4 and 12 never arrive.
    for (int i = 0; i < 20; ++i) {
        if (i == 3 || i == 4 || i == 12) {
            continue;
        }
        const auto frame = H264Frame(i % 8 == 0, static_cast<std::uint32_t>(i % 8));
        const FrameContinuity continuity = sut.Next(frame.data(), frame.size(), i * kFrameNs);
        outcomes.push_back({continuity.lostBefore, continuity.damaged});
    }

    const std::vector<Outcome> expected{{0, false}, {0, false}, {0, false}, {2, true},  {0, true}, {0, true},
                                        {0, false}, {0, false}, {0, false}, {0, false}, {1, true}, {0, true},
                                        {0, true},  {0, false}, {0, false}, {0, false}, {0, false}};
    EXPECT_EQ(outcomes, expected);
    EXPECT_EQ(sut.Unreadable(), 0U);
}

TEST(FrameContinuityTrackerTest, ALossLongerThanTheFrameNumbersWrapIsCountedByTheStamps) {
    // MaxFrameNum 16, one IDR at the start. 20 frames lost look like 4 by the numbers, 16 like none: that
    // one only a transport that saw samples lost can tell.
    const struct {
        int lost;
        bool transportSawIt;
        std::uint64_t counted;
    } cases[] = {{20, false, 20}, {20, true, 20}, {16, true, 16}, {16, false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lost) + (c.transportSawIt ? " lost, seen by the transport" : " lost"));
        FrameContinuityTracker sut(VideoCodec::kH264);
        for (int i = 0; i < 8; ++i) {
            const auto frame = H264Frame(i == 0, static_cast<std::uint32_t>(i), 4);
            ASSERT_EQ(sut.Next(frame.data(), frame.size(), i * kFrameNs).lostBefore, 0U);
        }
        if (c.transportSawIt) {
            sut.NoteTransportLoss();
        }
        const int next = 8 + c.lost;
        const auto frame = H264Frame(false, static_cast<std::uint32_t>(next % 16), 4);
        const FrameContinuity continuity = sut.Next(frame.data(), frame.size(), next * kFrameNs + 2000000);
        EXPECT_EQ(continuity.lostBefore, c.counted);
        EXPECT_EQ(continuity.damaged, c.counted > 0);
    }
}

// Stamps taken when a frame is sent: a stall, then a burst that catches up. The frame interval is what the
// stamps say on average, so a short loss after the burst stays a short loss.
TEST(FrameContinuityTrackerTest, AStallAndItsBurstDoNotMakeAShortLossLookLikeAWrap) {
    FrameContinuityTracker sut(VideoCodec::kH264);
    const auto stamp = [](int i) -> std::int64_t {
        // Frames 1 to 19 are sent only just before frame 20, 0.1 ms apart.
        return i >= 1 && i < 20 ? 20 * kFrameNs - (20 - i) * 100000 : i * kFrameNs;
    };
    for (int i = 0; i < 23; ++i) {
        const auto frame = H264Frame(i == 0, static_cast<std::uint32_t>(i % 16), 4);
        ASSERT_EQ(sut.Next(frame.data(), frame.size(), stamp(i)).lostBefore, 0U) << i;
    }
    sut.NoteTransportLoss();
    const auto frame = H264Frame(false, 26 % 16, 4);  // 23 to 25 lost

    EXPECT_EQ(sut.Next(frame.data(), frame.size(), stamp(26)).lostBefore, 3U);
}

TEST(FrameContinuityTrackerTest, CountsH265FramesByTheOrderCountsStepAndALostIdrByTheCountStartingOver) {
    FrameContinuityTracker sut(VideoCodec::kH265);
    std::vector<Outcome> outcomes;
    const auto feed = [&](const std::vector<std::uint8_t>& frame, int i) {
        const FrameContinuity continuity = sut.Next(frame.data(), frame.size(), i * kFrameNs);
        outcomes.push_back({continuity.lostBefore, continuity.damaged});
    };
    // An encoder that counts in steps of 2. GOP of 10: frames 4 and 5 lost; then frames 17 to 21, among
    // them the IDR at 20: frame 22 has a count lower than frame 16's.
    for (int i = 0; i < 26; ++i) {
        if (i == 4 || i == 5 || (i >= 17 && i <= 21)) {
            continue;
        }
        feed(H265Frame(i % 10 == 0, static_cast<std::uint32_t>(2 * (i % 10)) % 64), i);
    }

    const std::vector<Outcome> expected{{0, false}, {0, false}, {0, false}, {0, false}, {2, true},
                                        {0, true},  {0, true},  {0, true},  {0, false}, {0, false},
                                        {0, false}, {0, false}, {0, false}, {0, false}, {0, false},
                                        {5, true},  {0, true},  {0, true},  {0, true}};
    EXPECT_EQ(outcomes, expected);
}

TEST(FrameContinuityTrackerTest, AFrameWithoutAReadableHeaderKeepsTheDamageAndIsCounted) {
    FrameContinuityTracker sut(VideoCodec::kH264);
    const auto key = H264Frame(true, 0);
    sut.Next(key.data(), key.size(), 0);
    const auto after = H264Frame(false, 3);
    EXPECT_EQ(sut.Next(after.data(), after.size(), 3 * kFrameNs).lostBefore, 2U);
    const std::vector<std::uint8_t> garbage{0, 0, 1, 0x41, 0xFF};
    const FrameContinuity continuity = sut.Next(garbage.data(), garbage.size(), 4 * kFrameNs);
    EXPECT_EQ(continuity.lostBefore, 0U);
    EXPECT_TRUE(continuity.damaged);
    EXPECT_EQ(sut.Unreadable(), 1U);
}

// Frames come from the network: damaged and cut parameter sets and slices are read without a step outside
// their bytes (the sanitizer builds watch that), and a clean key frame afterwards ends the damage. (A damaged
// H.265 header may leave too small an order count step behind; H.264 needs no step.)
TEST(FrameContinuityTrackerTest, DamagedAndCutUnitsAreReadSafelyAndAKeyFrameRecovers) {
    for (const VideoCodec codec : {VideoCodec::kH264, VideoCodec::kH265}) {
        SCOPED_TRACE(CodecName(codec));
        const auto frame = [codec](bool key, std::uint32_t number) {
            return codec == VideoCodec::kH264 ? H264Frame(key, number) : H265Frame(key, number);
        };
        FrameContinuityTracker sut(codec);
        std::mt19937 random(7);
        for (int round = 0; round < 3000; ++round) {
            std::vector<std::uint8_t> bytes = frame(round % 3 == 0, static_cast<std::uint32_t>(round % 8));
            for (int flips = static_cast<int>(random() % 4); flips > 0; --flips) {
                bytes[4 + random() % (bytes.size() - 4)] ^= static_cast<std::uint8_t>(1U << (random() % 8));
            }
            bytes.resize(4 + random() % (bytes.size() - 3));
            sut.Next(bytes.data(), bytes.size(), round * kFrameNs);
        }
        EXPECT_GT(sut.Unreadable(), 0U);

        const auto key = frame(true, 0);
        const FrameContinuity atKey = sut.Next(key.data(), key.size(), 4000 * kFrameNs);
        const auto next = frame(false, codec == VideoCodec::kH264 ? 1 : 2);
        const FrameContinuity after = sut.Next(next.data(), next.size(), 4001 * kFrameNs);
        EXPECT_FALSE(atKey.damaged);
        if (codec == VideoCodec::kH264) {
            EXPECT_EQ(after.lostBefore, 0U);
            EXPECT_FALSE(after.damaged);
        }
    }
}

}  // namespace
}  // namespace camera_tools
