#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "camera_test/gtest_support.h"
#include "ffmpeg/handles.h"
#include "frame_source.h"
#include "pattern_source.h"
#include "vcu/camera/frame_code.h"

namespace {

using namespace vcu::camera::internal;
using camera_test::TemporaryDirectory;

std::vector<std::uint8_t> nv12Frame(int width, int height) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3 / 2);
}

double meanLuma(const std::vector<std::uint8_t>& nv12, int width, int height) {
    const auto end = nv12.begin() + static_cast<long>(width) * height;
    return std::accumulate(nv12.begin(), end, 0.0) / (static_cast<double>(width) * height);
}

std::unique_ptr<FrameSource> opened(SourceResult result) {
    if (!result) {
        ADD_FAILURE() << result.Error().message;
        return nullptr;
    }
    return std::move(result).Value();
}

std::string errorOf(SourceResult result) {
    return result ? std::string("(opened)") : result.Error().message;
}

TEST(PatternSourceTest, MovesFromFrameToFrameAndCarriesItsNumber) {
    constexpr int kWidth = 640;
    constexpr int kHeight = 480;
    PatternSource sut(9, kWidth, kHeight);
    auto first = nv12Frame(kWidth, kHeight);
    auto second = nv12Frame(kWidth, kHeight);
    ASSERT_TRUE(sut.fill(first.data(), kWidth, kHeight, 41));
    ASSERT_TRUE(sut.fill(second.data(), kWidth, kHeight, 42));

    EXPECT_NE(first, second);
    EXPECT_EQ(vcu::camera::readFrameCode(first.data(), kWidth, kHeight, kWidth, 1.0), 41U);
    EXPECT_EQ(vcu::camera::readFrameCode(second.data(), kWidth, kHeight, kWidth, 1.0), 42U);
    EXPECT_FALSE(sut.fill(first.data(), kWidth + 2, kHeight, 43));

    // Another camera, same frame: its own colours.
    ASSERT_TRUE(PatternSource(10, kWidth, kHeight).fill(second.data(), kWidth, kHeight, 41));
    EXPECT_FALSE(
        std::equal(first.begin() + kWidth * kHeight, first.end(), second.begin() + kWidth * kHeight));

    // Too small for the label and the code: clipped, not overrun.
    auto tiny = nv12Frame(16, 8);
    EXPECT_TRUE(PatternSource(8, 16, 8).fill(tiny.data(), 16, 8, 1));
}

TEST(PatternSourceTest, DrawsTheSameFrameWhereverItsBufferLies) {
    // A frame buffer on a 64-byte boundary takes the bars by streaming stores, one off it by plain copies;
    // the rows' ends (a width that is not a multiple of 16) by plain copies in both.
    constexpr int kWidth = 648;
    constexpr int kHeight = 480;
    constexpr std::size_t kBytes = std::size_t{kWidth} * kHeight * 3 / 2;
    std::vector<std::uint8_t> memory(2 * kBytes + 128);
    auto* aligned = reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(memory.data()) + 63) &
                                                    ~std::uintptr_t{63});
    std::uint8_t* misaligned = aligned + kBytes + 1;
    PatternSource sut(11, kWidth, kHeight);
    for (const std::uint64_t frame : {7U, 8U}) {
        ASSERT_TRUE(sut.fill(aligned, kWidth, kHeight, frame));
        ASSERT_TRUE(sut.fill(misaligned, kWidth, kHeight, frame));
        EXPECT_TRUE(std::equal(aligned, aligned + kBytes, misaligned)) << "frame " << frame;
        EXPECT_EQ(vcu::camera::readFrameCode(aligned, kWidth, kHeight, kWidth, 1.0), frame);
    }
}

class Nv12FileSourceTest : public ::testing::Test {
  protected:
    static constexpr int kWidth = 8;
    static constexpr int kHeight = 4;
    static constexpr std::size_t kFrameBytes = kWidth * kHeight * 3 / 2;

    TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_camera_test_");
};

TEST_F(Nv12FileSourceTest, PlaysTheFramesInOrderAndLoops) {
    std::string content;
    for (const char value : {'a', 'b', 'c'}) {
        content.append(kFrameBytes, value);
    }
    auto sut =
        opened(OpenNv12File(camera_test::WriteTestFile(directory, "three.nv12", content), kWidth, kHeight));
    ASSERT_NE(sut, nullptr);

    std::string seen;
    auto frame = nv12Frame(kWidth, kHeight);
    for (std::uint64_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(sut->fill(frame.data(), kWidth, kHeight, i));
        EXPECT_EQ(frame.front(), frame.back());
        seen.push_back(static_cast<char>(frame.front()));
    }
    EXPECT_EQ(seen, "abcab");
}

TEST_F(Nv12FileSourceTest, RefusesFilesThatAreNotWholeFrames) {
    const std::string partial =
        camera_test::WriteTestFile(directory, "partial.nv12", std::string(kFrameBytes + 1, 'x'));
    const std::string message = errorOf(OpenNv12File(partial, kWidth, kHeight));
    EXPECT_NE(message.find(partial), std::string::npos) << message;
    EXPECT_NE(message.find(std::to_string(kFrameBytes + 1) + " bytes"), std::string::npos) << message;
    EXPECT_NE(message.find("of " + std::to_string(kFrameBytes) + " bytes"), std::string::npos) << message;

    EXPECT_NE(errorOf(OpenNv12File(camera_test::WriteTestFile(directory, "empty.nv12", ""), kWidth, kHeight))
                  .find("holds 0 bytes"),
              std::string::npos);
    const std::string missing = directory.File("missing.nv12");
    EXPECT_NE(errorOf(OpenNv12File(missing, kWidth, kHeight)).find(missing), std::string::npos);
}

// Encodes flat grey pictures, one luma level each, with FFmpeg's mpeg4 encoder into a Matroska file.
void writeVideo(const std::string& path, int width, int height, const std::vector<std::uint8_t>& levels) {
    AVFormatContext* rawOutput = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&rawOutput, nullptr, "matroska", path.c_str()), 0);
    const ffmpeg::OutputContextPtr output(rawOutput);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    ASSERT_NE(codec, nullptr);
    ffmpeg::CodecContextPtr encoder(avcodec_alloc_context3(codec));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, 25};
    encoder->gop_size = 2;
    if ((output->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    ASSERT_GE(avcodec_open2(encoder.get(), codec, nullptr), 0);
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    ASSERT_NE(stream, nullptr);
    ASSERT_GE(avcodec_parameters_from_context(stream->codecpar, encoder.get()), 0);
    stream->time_base = encoder->time_base;
    ASSERT_GE(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(output.get(), nullptr), 0);

    ffmpeg::PacketPtr packet(av_packet_alloc());
    const auto drain = [&] {
        while (avcodec_receive_packet(encoder.get(), packet.get()) == 0) {
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = stream->index;
            av_interleaved_write_frame(output.get(), packet.get());
        }
    };
    for (std::size_t i = 0; i < levels.size(); ++i) {
        ffmpeg::FramePtr frame(av_frame_alloc());
        frame->width = width;
        frame->height = height;
        frame->format = AV_PIX_FMT_YUV420P;
        ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height : height / 2;
            std::memset(frame->data[plane], plane == 0 ? levels[i] : 128,
                        static_cast<std::size_t>(frame->linesize[plane]) * rows);
        }
        frame->pts = static_cast<std::int64_t>(i);
        ASSERT_GE(avcodec_send_frame(encoder.get(), frame.get()), 0);
        drain();
    }
    avcodec_send_frame(encoder.get(), nullptr);
    drain();
    ASSERT_GE(av_write_trailer(output.get()), 0);
}

TEST(VideoFileSourceTest, DecodesScalesAndLoops) {
    TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_camera_test_");
    const std::string path = directory.File("levels.mkv");
    const std::vector<std::uint8_t> levels{40, 80, 120, 160, 200};
    ASSERT_NO_FATAL_FAILURE(writeVideo(path, 64, 48, levels));

    // A camera size unlike the video's: the pictures are scaled to it.
    constexpr int kWidth = 96;
    constexpr int kHeight = 64;
    auto sut = opened(OpenVideoFile(path, kWidth, kHeight));
    ASSERT_NE(sut, nullptr);
    auto frame = nv12Frame(kWidth, kHeight);
    for (std::size_t i = 0; i < levels.size() * 2 + 1; ++i) {
        ASSERT_TRUE(sut->fill(frame.data(), kWidth, kHeight, i)) << "frame " << i;
        EXPECT_NEAR(meanLuma(frame, kWidth, kHeight), levels[i % levels.size()], 6.0) << "frame " << i;
    }
}

}  // namespace
