#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "camera_test/gtest_support.h"
#include "record_test_support.h"
#include "stream_writer.h"

namespace camera_record {
namespace {

using test::EncodedFrame;
using test::EncodePattern;
using test::ProbeMedia;

constexpr int kWidth = 480;
constexpr int kHeight = 320;
constexpr std::int64_t kFirstStampNs = 1700000000LL * 1000000000LL + 5000000;
constexpr std::int64_t kIntervalNs = 33333333;

class StreamWriterTest : public ::testing::Test {
  protected:
    // Writes `frames` with stamps kIntervalNs apart plus `jitterNs(i)`.
    template <typename Jitter>
    StreamWriter WriteAll(const std::vector<EncodedFrame>& frames, Jitter jitterNs) {
        auto parameters = ProbeKeyFrame(frames[0].bytes.data(), frames[0].bytes.size());
        EXPECT_TRUE(parameters.HasValue());
        auto opened = StreamWriter::Open(directory_.Path() + "/cam_8", parameters.Value());
        EXPECT_TRUE(opened.HasValue()) << opened.Error().message;
        StreamWriter sut = std::move(opened).Value();
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const auto& bytes = frames[i].bytes;
            EXPECT_TRUE(sut.Write(bytes.data(), bytes.size(),
                                  kFirstStampNs + static_cast<std::int64_t>(i) * kIntervalNs + jitterNs(i),
                                  frames[i].key))
                << sut.LastError();
        }
        EXPECT_TRUE(sut.Close()) << sut.LastError();
        return sut;
    }

    camera_test::TemporaryDirectory directory_ = camera_test::NewTestDirectory("camera_record_test_");
};

class StreamWriterCodecTest : public StreamWriterTest, public ::testing::WithParamInterface<VideoCodec> {};

TEST_P(StreamWriterCodecTest, ElementaryStreamDecodesEveryFrameInOrder) {
    const VideoCodec codec = GetParam();
    const auto frames = EncodePattern(codec, kWidth, kHeight, 20, 5);
    ASSERT_EQ(frames.size(), 20U);

    const StreamWriter sut = WriteAll(frames, [](std::size_t) { return 0; });

    EXPECT_EQ(sut.ElementaryPath(), directory_.Path() + "/cam_8." + CodecName(codec));
    const auto probe = ProbeMedia(sut.ElementaryPath(), codec == VideoCodec::kH264 ? "h264" : "hevc");
    ASSERT_TRUE(probe.error.empty()) << probe.error;
    EXPECT_EQ(probe.width, kWidth);
    EXPECT_EQ(probe.height, kHeight);
    ASSERT_EQ(probe.decodedFrames, 20);
    for (std::uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(probe.codes[i], i);
    }
}

TEST_P(StreamWriterCodecTest, Mp4CarriesThePublishedStampsFromZeroAndTheKeyFrames) {
    const VideoCodec codec = GetParam();
    const auto frames = EncodePattern(codec, kWidth, kHeight, 20, 5);
    ASSERT_EQ(frames.size(), 20U);
    // Uneven spacing, as received stamps are: the MP4 must keep it, not assume a frame rate.
    const auto jitter = [](std::size_t i) { return static_cast<std::int64_t>(i % 3) * 4000000; };

    const StreamWriter sut = WriteAll(frames, jitter);

    const auto probe = ProbeMedia(sut.Mp4Path());
    ASSERT_TRUE(probe.error.empty()) << probe.error;
    EXPECT_EQ(probe.codecName, codec == VideoCodec::kH264 ? "h264" : "hevc");
    EXPECT_EQ(probe.width, kWidth);
    EXPECT_EQ(probe.height, kHeight);
    EXPECT_EQ(probe.decodedFrames, 20);
    ASSERT_EQ(probe.ptsNs.size(), 20U);
    for (std::size_t i = 0; i < 20; ++i) {
        const std::int64_t expected = static_cast<std::int64_t>(i) * kIntervalNs + jitter(i);
        // 90 kHz ticks: within one tick of the published stamp.
        EXPECT_NEAR(static_cast<double>(probe.ptsNs[i]), static_cast<double>(expected), 11112.0) << i;
        EXPECT_EQ(probe.keyPackets[i], i % 5 == 0) << i;
        EXPECT_EQ(probe.codes[i], static_cast<std::uint32_t>(i));
    }
    EXPECT_EQ(sut.StampsAdjusted(), 0U);
}

INSTANTIATE_TEST_SUITE_P(H264AndH265, StreamWriterCodecTest,
                         ::testing::Values(VideoCodec::kH264, VideoCodec::kH265),
                         [](const auto& p) { return std::string(CodecName(p.param)); });

TEST_F(StreamWriterTest, StampsThatDoNotAdvanceAreMovedAfterThePreviousAndCounted) {
    const auto frames = EncodePattern(VideoCodec::kH264, kWidth, kHeight, 6, 3);
    ASSERT_EQ(frames.size(), 6U);
    // Frame 2 repeats frame 1's stamp, frame 4 goes back before frame 3.
    const auto jitter = [](std::size_t i) -> std::int64_t {
        return i == 2 ? -kIntervalNs : i == 4 ? -2 * kIntervalNs : 0;
    };

    const StreamWriter sut = WriteAll(frames, jitter);

    EXPECT_EQ(sut.StampsAdjusted(), 2U);
    const auto probe = ProbeMedia(sut.Mp4Path());
    ASSERT_TRUE(probe.error.empty()) << probe.error;
    ASSERT_EQ(probe.ptsNs.size(), 6U);
    for (std::size_t i = 1; i < probe.ptsNs.size(); ++i) {
        EXPECT_GT(probe.ptsNs[i], probe.ptsNs[i - 1]) << i;
    }
    EXPECT_EQ(probe.decodedFrames, 6);
}

TEST_F(StreamWriterTest, DestroyingAnOpenWriterLeavesAPlayableMp4) {
    const auto frames = EncodePattern(VideoCodec::kH264, kWidth, kHeight, 4, 30);
    ASSERT_EQ(frames.size(), 4U);
    const auto parameters = ProbeKeyFrame(frames[0].bytes.data(), frames[0].bytes.size());
    ASSERT_TRUE(parameters.HasValue());
    std::string path;
    {
        auto opened = StreamWriter::Open(directory_.Path() + "/cam_9", parameters.Value());
        ASSERT_TRUE(opened.HasValue());
        // Moved twice: only the last owner finishes the files.
        StreamWriter first = std::move(opened).Value();
        StreamWriter sut(std::move(first));
        for (std::size_t i = 0; i < frames.size(); ++i) {
            sut.Write(frames[i].bytes.data(), frames[i].bytes.size(),
                      kFirstStampNs + static_cast<std::int64_t>(i) * kIntervalNs, frames[i].key);
        }
        path = sut.Mp4Path();
    }

    const auto probe = ProbeMedia(path);
    ASSERT_TRUE(probe.error.empty()) << probe.error;
    EXPECT_EQ(probe.decodedFrames, 4);
}

// What a crash leaves: the files as they are on disk, the writer never closed. Everything before the last
// Flush plays; what came after it was still in memory. A file cut inside its last fragment (a full disk)
// plays the fragments before.
TEST_F(StreamWriterTest, AnMp4CutShortPlaysEveryFrameFlushedBeforeTheCut) {
    const auto frames = EncodePattern(VideoCodec::kH264, kWidth, kHeight, 17, 30);
    ASSERT_EQ(frames.size(), 17U);
    const auto parameters = ProbeKeyFrame(frames[0].bytes.data(), frames[0].bytes.size());
    ASSERT_TRUE(parameters.HasValue());
    auto opened = StreamWriter::Open(directory_.Path() + "/cam_10", parameters.Value());
    ASSERT_TRUE(opened.HasValue()) << opened.Error().message;
    StreamWriter sut = std::move(opened).Value();
    const auto write = [&sut, &frames](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            EXPECT_TRUE(sut.Write(frames[i].bytes.data(), frames[i].bytes.size(),
                                  kFirstStampNs + static_cast<std::int64_t>(i) * kIntervalNs, frames[i].key));
        }
    };
    const auto copy = [this, &sut](const std::string& name, std::uintmax_t cutBytes) {
        std::ifstream in(sut.Mp4Path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes.resize(bytes.size() - std::min<std::size_t>(cutBytes, bytes.size()));
        std::ofstream(directory_.Path() + "/" + name, std::ios::binary) << bytes;
        return directory_.Path() + "/" + name;
    };

    write(0, 6);
    ASSERT_TRUE(sut.Flush()) << sut.LastError();
    write(6, 12);
    ASSERT_TRUE(sut.Flush()) << sut.LastError();
    write(12, 17);
    const auto crashed = ProbeMedia(copy("crashed.mp4", 0));
    const auto full = ProbeMedia(copy("full.mp4", 200));

    ASSERT_TRUE(crashed.error.empty()) << crashed.error;
    EXPECT_EQ(crashed.decodedFrames, 12);
    ASSERT_EQ(crashed.codes.size(), 12U);
    EXPECT_EQ(crashed.codes.back(), 11U);
    ASSERT_TRUE(full.error.empty()) << full.error;
    EXPECT_GE(full.decodedFrames, 6);
    EXPECT_LT(full.decodedFrames, 12);
    EXPECT_TRUE(sut.Close());
    EXPECT_EQ(ProbeMedia(sut.Mp4Path()).decodedFrames, 17);
}

}  // namespace
}  // namespace camera_record
