#include <gtest/gtest.h>

#include "record_test_support.h"
#include "stream_format.h"

namespace camera_record {
namespace {

using test::EncodedFrame;
using test::EncodePattern;

TEST(SplitAnnexBTest, FindsUnitsBehindThreeAndFourByteStartCodesWithoutTrailingZeros) {
    const std::vector<std::uint8_t> stream = {0xAA, 0,    0,    0, 1, 0x67, 0x42, 0,    0,    0,
                                              1,    0x68, 0xCE, 0, 0, 1,    0x65, 0x88, 0x00, 0x00};

    const auto sut = SplitAnnexB(stream.data(), stream.size());

    ASSERT_EQ(sut.size(), 3U);
    EXPECT_EQ(std::vector<std::uint8_t>(sut[0].data, sut[0].data + sut[0].size),
              (std::vector<std::uint8_t>{0x67, 0x42}));
    EXPECT_EQ(std::vector<std::uint8_t>(sut[1].data, sut[1].data + sut[1].size),
              (std::vector<std::uint8_t>{0x68, 0xCE}));
    EXPECT_EQ(std::vector<std::uint8_t>(sut[2].data, sut[2].data + sut[2].size),
              (std::vector<std::uint8_t>{0x65, 0x88}));
}

TEST(SplitAnnexBTest, BytesWithoutStartCodeHoldNoUnit) {
    const std::vector<std::uint8_t> noise = {0x67, 0x42, 0x00, 0x00, 0x02};
    EXPECT_TRUE(SplitAnnexB(noise.data(), noise.size()).empty());
    EXPECT_TRUE(SplitAnnexB(nullptr, 10).empty());
}

class StreamFormatTest : public ::testing::TestWithParam<VideoCodec> {};

TEST_P(StreamFormatTest, KeyFrameGivesCodecSizeAndParameterSets) {
    const VideoCodec codec = GetParam();
    const std::vector<EncodedFrame> frames = EncodePattern(codec, 480, 320, 3, 30);
    ASSERT_EQ(frames.size(), 3U);
    ASSERT_TRUE(frames[0].key);

    const auto sut = ProbeKeyFrame(frames[0].bytes.data(), frames[0].bytes.size());

    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().codec, codec);
    EXPECT_EQ(sut.Value().width, 480);
    EXPECT_EQ(sut.Value().height, 320);
    const auto sets = SplitAnnexB(sut.Value().extradata.data(), sut.Value().extradata.size());
    EXPECT_EQ(sets.size(), codec == VideoCodec::kH264 ? 2U : 3U);
    EXPECT_EQ(std::vector<std::uint8_t>(sut.Value().extradata.begin(), sut.Value().extradata.begin() + 4),
              (std::vector<std::uint8_t>{0, 0, 0, 1}));
}

TEST_P(StreamFormatTest, OnlyKeyFramesAreRandomAccessPointsWithParameterSets) {
    const VideoCodec codec = GetParam();
    const std::vector<EncodedFrame> frames = EncodePattern(codec, 480, 320, 6, 3);
    ASSERT_EQ(frames.size(), 6U);

    for (std::size_t i = 0; i < frames.size(); ++i) {
        const bool key = i % 3 == 0;
        const auto& bytes = frames[i].bytes;
        EXPECT_EQ(frames[i].key, key) << i;
        EXPECT_EQ(IsRandomAccessPoint(codec, bytes.data(), bytes.size()), key) << i;
        EXPECT_EQ(DetectCodec(bytes.data(), bytes.size()), key ? codec : VideoCodec::kUnknown) << i;
        EXPECT_EQ(ProbeKeyFrame(bytes.data(), bytes.size()).HasValue(), key) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(H264AndH265, StreamFormatTest,
                         ::testing::Values(VideoCodec::kH264, VideoCodec::kH265),
                         [](const auto& p) { return std::string(CodecName(p.param)); });

TEST(ProbeKeyFrameTest, RefusesParameterSetsWithoutPictureAndSaysWhy) {
    const std::vector<EncodedFrame> frames = EncodePattern(VideoCodec::kH264, 480, 320, 1, 30);
    ASSERT_EQ(frames.size(), 1U);
    const auto sets = ParameterSets(VideoCodec::kH264, frames[0].bytes.data(), frames[0].bytes.size());

    const auto sut = ProbeKeyFrame(sets.data(), sets.size());

    ASSERT_FALSE(sut.HasValue());
    EXPECT_EQ(sut.Error().code, RecordErrc::kFormat);
    EXPECT_NE(sut.Error().message.find("no IDR/IRAP picture"), std::string::npos) << sut.Error().message;
}

}  // namespace
}  // namespace camera_record
