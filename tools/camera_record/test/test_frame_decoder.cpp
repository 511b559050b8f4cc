#include <gtest/gtest.h>

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "ffmpeg/handles.h"
#include "frame_code_reader.h"
#include "frame_decoder.h"
#include "record_test_support.h"
#include "vcu/camera/frame_code.h"

namespace camera_record {
namespace {

using test::EncodePattern;

FrameDecoder OpenDecoder(const std::vector<test::EncodedFrame>& frames) {
    auto parameters = ProbeKeyFrame(frames[0].bytes.data(), frames[0].bytes.size());
    EXPECT_TRUE(parameters.HasValue());
    auto decoder = FrameDecoder::Open(parameters.Value(), FrameCodeReader(1.0));
    EXPECT_TRUE(decoder.HasValue());
    return std::move(decoder).Value();
}

TEST(FrameDecoderTest, EveryFrameComesOutAtOnceWithItsNumberAndCode) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 12, 4, 500);
    ASSERT_EQ(frames.size(), 12U);
    FrameDecoder sut = OpenDecoder(frames);

    for (std::uint64_t i = 0; i < frames.size(); ++i) {
        const auto pictures = sut.Decode(frames[i].bytes.data(), frames[i].bytes.size(), 100 + i);
        ASSERT_EQ(pictures.size(), 1U) << i;
        EXPECT_EQ(pictures[0].frame, 100 + i);
        EXPECT_EQ(pictures[0].frameCode, 500 + i);
        EXPECT_EQ(pictures[0].width, 480);
        EXPECT_EQ(pictures[0].height, 320);
    }
    EXPECT_TRUE(sut.Flush().empty());
    ASSERT_NE(sut.LatestPicture(), nullptr);
    EXPECT_EQ(sut.LatestPicture()->width, 480);
    EXPECT_EQ(sut.DecodeErrors(), 0U);
    EXPECT_EQ(sut.PicturesDecoded(), 12U);
}

TEST(FrameDecoderTest, DamagedFramesAreCountedAndTheStreamGoesOnAtTheNextKeyFrame) {
    const auto frames = EncodePattern(VideoCodec::kH265, 480, 320, 8, 4);
    ASSERT_EQ(frames.size(), 8U);
    FrameDecoder sut = OpenDecoder(frames);
    sut.Decode(frames[0].bytes.data(), frames[0].bytes.size(), 0);
    // A slice header of nonsense: a slice type and picture parameter set id that do not exist.
    const std::vector<std::uint8_t> garbage = {0,    0,    0,    1,    0x02, 0x01, 0xFF,
                                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

    sut.Decode(garbage.data(), garbage.size(), 1);
    const auto pictures = sut.Decode(frames[4].bytes.data(), frames[4].bytes.size(), 2);

    EXPECT_GE(sut.DecodeErrors(), 1U);
    ASSERT_EQ(pictures.size(), 1U);
    EXPECT_EQ(pictures[0].frame, 2U);
    EXPECT_EQ(pictures[0].frameCode, 4U);
}

// A 1920 x 1080 luma plane with the code at the centre, then cropped by (left, top) on both sides and
// resized to 1280 x 720, as a camera's preprocessing does.
std::vector<std::uint8_t> PreparedLuma(std::uint32_t code, int cropLeft, int cropTop) {
    constexpr int kWidth = 1920;
    constexpr int kHeight = 1080;
    std::vector<std::uint8_t> nv12(kWidth * kHeight * 3 / 2, 100);
    vcu::camera::drawFrameCode(nv12.data(), kWidth, kHeight, code);
    const int cropWidth = kWidth - 2 * cropLeft;
    const int cropHeight = kHeight - 2 * cropTop;
    ffmpeg::ScaleContextPtr scaler(sws_getContext(cropWidth, cropHeight, AV_PIX_FMT_GRAY8, 1280, 720,
                                                  AV_PIX_FMT_GRAY8, SWS_BILINEAR, nullptr, nullptr, nullptr));
    std::vector<std::uint8_t> out(1280 * 720);
    const std::uint8_t* source[4] = {nv12.data() + cropTop * kWidth + cropLeft, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {kWidth, 0, 0, 0};
    std::uint8_t* destination[4] = {out.data(), nullptr, nullptr, nullptr};
    const int destinationStride[4] = {1280, 0, 0, 0};
    sws_scale(scaler.get(), source, sourceStride, 0, cropHeight, destination, destinationStride);
    return out;
}

TEST(FrameCodeReaderTest, FindsTheScaleOfResizedAndCroppedPictures) {
    struct Case {
        int cropLeft;
        int cropTop;
        double scale;
    };
    for (const Case& c : {Case{0, 0, 1280.0 / 1920.0}, Case{96, 54, 1280.0 / 1728.0}}) {
        FrameCodeReader sut;
        const auto luma = PreparedLuma(0xBEEF, c.cropLeft, c.cropTop);

        EXPECT_EQ(sut.Read(luma.data(), 1280, 720, 1280), 0xBEEFU) << c.cropLeft;
        ASSERT_TRUE(sut.Scale().has_value());
        EXPECT_NEAR(*sut.Scale(), c.scale, 0.04);
        const auto next = PreparedLuma(0xBEF0, c.cropLeft, c.cropTop);
        EXPECT_EQ(sut.Read(next.data(), 1280, 720, 1280), 0xBEF0U);
    }
}

TEST(FrameCodeReaderTest, PicturesWithoutCodeReadNothingAndAreNotSearchedEveryTime) {
    FrameCodeReader sut;
    const std::vector<std::uint8_t> flat(1280 * 720, 100);

    for (int i = 0; i < FrameCodeReader::kRetryAfter; ++i) {
        EXPECT_FALSE(sut.Read(flat.data(), 1280, 720, 1280).has_value());
    }
    // Within the pause after a failed search, even a picture with a code is not searched.
    const auto coded = PreparedLuma(42, 0, 0);
    EXPECT_FALSE(sut.Read(coded.data(), 1280, 720, 1280).has_value());
    EXPECT_EQ(sut.Read(coded.data(), 1280, 720, 1280), 42U);
}

TEST(FrameCodeReaderTest, KeepsItsScaleOverPicturesWithoutCode) {
    FrameCodeReader sut;
    const auto coded = PreparedLuma(7, 0, 0);
    const std::vector<std::uint8_t> flat(1280 * 720, 100);
    ASSERT_EQ(sut.Read(coded.data(), 1280, 720, 1280), 7U);
    const double scale = *sut.Scale();

    EXPECT_FALSE(sut.Read(flat.data(), 1280, 720, 1280).has_value());

    EXPECT_EQ(sut.Scale(), scale);
    EXPECT_EQ(sut.Read(coded.data(), 1280, 720, 1280), 7U);
}

}  // namespace
}  // namespace camera_record
