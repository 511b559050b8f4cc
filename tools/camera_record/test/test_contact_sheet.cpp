#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "contact_sheet.h"
#include "ffmpeg/handles.h"
#include "record_test_support.h"

namespace camera_record {
namespace {

ffmpeg::FramePtr GreyPicture(int width, int height, std::uint8_t luma) {
    ffmpeg::FramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width;
    picture->height = height;
    EXPECT_EQ(av_frame_get_buffer(picture.get(), 0), 0);
    for (int y = 0; y < height; ++y) {
        std::memset(picture->data[0] + y * picture->linesize[0], luma, static_cast<std::size_t>(width));
    }
    for (int plane = 1; plane <= 2; ++plane) {
        for (int y = 0; y < height / 2; ++y) {
            std::memset(picture->data[plane] + y * picture->linesize[plane], 128,
                        static_cast<std::size_t>(width / 2));
        }
    }
    return picture;
}

// The PNG decoded back to RGB24 by libavcodec.
ffmpeg::FramePtr DecodePng(const std::string& bytes) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    ffmpeg::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    ffmpeg::PacketPtr packet(av_packet_alloc());
    ffmpeg::FramePtr frame(av_frame_alloc());
    EXPECT_EQ(avcodec_open2(decoder.get(), codec, nullptr), 0);
    EXPECT_EQ(av_new_packet(packet.get(), static_cast<int>(bytes.size())), 0);
    std::memcpy(packet->data, bytes.data(), bytes.size());
    EXPECT_EQ(avcodec_send_packet(decoder.get(), packet.get()), 0);
    EXPECT_EQ(avcodec_receive_frame(decoder.get(), frame.get()), 0);
    return frame;
}

std::uint32_t BigEndian32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = value << 8U | static_cast<std::uint8_t>(bytes[offset + i]);
    }
    return value;
}

int Red(const AVFrame& frame, int x, int y) {
    return frame.data[0][y * frame.linesize[0] + x * 3];
}

TEST(ContactSheetTest, WritesAPngOfTwoByTwoCellsWithEachPictureInItsPlace) {
    camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("camera_record_test_");
    auto created = ContactSheet::Create(320, 180);
    ASSERT_TRUE(created.HasValue()) << created.Error().message;
    ContactSheet sut = std::move(created).Value();
    // Different sizes on purpose: every picture is scaled to its cell.
    const std::uint8_t levels[4] = {40, 90, 160, 220};
    for (int position = 0; position < 4; ++position) {
        const ffmpeg::FramePtr picture =
            GreyPicture(position % 2 == 0 ? 640 : 1280, position % 2 == 0 ? 360 : 720, levels[position]);
        EXPECT_TRUE(sut.Place(position, *picture));
    }

    const std::string path = directory.Path() + "/contact_sheet.png";
    const auto written = sut.WritePng(path);

    ASSERT_TRUE(written.HasValue()) << written.Error().message;
    const std::string bytes = camera_test::ReadText(path);
    ASSERT_GT(bytes.size(), 24U);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(bytes.substr(12, 4), "IHDR");
    EXPECT_EQ(BigEndian32(bytes, 16), 640U);
    EXPECT_EQ(BigEndian32(bytes, 20), 360U);
    const ffmpeg::FramePtr decoded = DecodePng(bytes);
    ASSERT_EQ(decoded->width, 640);
    ASSERT_EQ(decoded->height, 360);
    const int centres[4][2] = {{160, 90}, {480, 90}, {160, 270}, {480, 270}};
    for (int position = 0; position < 4; ++position) {
        // Limited-range luma to full-range RGB.
        const int expected = (levels[position] - 16) * 255 / 219;
        EXPECT_NEAR(Red(*decoded, centres[position][0], centres[position][1]), expected, 3) << position;
    }
}

TEST(ContactSheetTest, CellsWithoutPictureStayDarkAndLabelsAreDrawnInTheirCorner) {
    auto created = ContactSheet::Create(320, 180);
    ASSERT_TRUE(created.HasValue());
    ContactSheet sut = std::move(created).Value();
    const ffmpeg::FramePtr bright = GreyPicture(320, 180, 235);
    ASSERT_TRUE(sut.Place(3, *bright));

    sut.Label(3, "cam_11");

    const AVFrame& sheet = sut.Picture();
    EXPECT_EQ(Red(sheet, 160, 90), 32);  // cell 0: nothing placed
    int white = 0;
    int black = 0;
    // The label's box in cell 3's top-left corner: white strokes on black.
    for (int y = 180 + 8; y < 180 + 8 + 29; ++y) {
        for (int x = 320 + 8; x < 320 + 8 + 6 * 18; ++x) {
            white += Red(sheet, x, y) == 255 ? 1 : 0;
            black += Red(sheet, x, y) == 0 ? 1 : 0;
        }
    }
    EXPECT_GT(white, 100);
    EXPECT_GT(black, 1000);
    EXPECT_EQ(Red(sheet, 480, 270), 255);  // the picture itself, away from the label
}

// A full disk is told apart from other write failures, and no cut picture is left behind.
TEST(ContactSheetTest, AFullDiskIsReportedAsSuchAndLeavesNoPicture) {
    camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("camera_record_test_");
    auto created = ContactSheet::Create(320, 180);
    ASSERT_TRUE(created.HasValue()) << created.Error().message;

    const auto missing = created.Value().WritePng(directory.Path() + "/absent/contact_sheet.png");
    ASSERT_FALSE(missing.HasValue());
    EXPECT_EQ(missing.Error().code, RecordErrc::kWrite) << missing.Error().message;

    const std::string disk = directory.Path() + "/disk";
    test::SmallDisk small(disk, "64k");
    ASSERT_TRUE(small.Error().empty()) << small.Error();
    {
        std::ofstream filler(disk + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())).flush()) {
        }
    }
    const std::string path = disk + "/contact_sheet.png";
    const auto full = created.Value().WritePng(path);
    ASSERT_FALSE(full.HasValue());
    EXPECT_EQ(full.Error().code, RecordErrc::kNoSpace) << full.Error().message;
    EXPECT_EQ(full.Error().message.rfind(path + ": cannot be written: the disk is full", 0), 0U)
        << full.Error().message;
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace camera_record
