#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compressed_video.h"

namespace camera_tools {
namespace {

std::vector<std::uint8_t> Encode(const CompressedVideo& video) {
    std::vector<std::uint8_t> bytes(CompressedVideoCdrSize(video), 0xAA);  // padding must not stay 0xAA
    EncodeCompressedVideo(video, bytes.data());
    return bytes;
}

TEST(CompressedVideoTest, EncodesLittleEndianCdrWithAlignmentAndTerminatedStrings) {
    const std::vector<std::uint8_t> accessUnit = {0x00, 0x00, 0x00, 0x01, 0x65};
    CompressedVideo video{1700000000, 5, "cam_8", accessUnit.data(), accessUnit.size(), "h264"};
    const std::vector<std::uint8_t> expected = {
        0x00, 0x01, 0x00, 0x00,                                 // encapsulation: CDR little endian
        0x00, 0xF1, 0x53, 0x65,                                 // sec 1700000000
        0x05, 0x00, 0x00, 0x00,                                 // nanosec 5
        0x06, 0x00, 0x00, 0x00, 'c',  'a',  'm',  '_',          // frame_id: length with its NUL
        '8',  0x00, 0x00, 0x00,                                 // NUL, two bytes to align the sequence
        0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,         // data: 5 bytes
        0x65, 0x00, 0x00, 0x00,                                 // three bytes to align the string
        0x05, 0x00, 0x00, 0x00, 'h',  '2',  '6',  '4',  0x00};  // format
    EXPECT_EQ(Encode(video), expected);
}

TEST(CompressedVideoTest, AlignedFieldsNeedNoPaddingAndEmptyFieldsStillCarryTheirLengths) {
    // "cam_10" with its NUL is 7 bytes: one pad byte; 4 bytes of data: none.
    const std::vector<std::uint8_t> accessUnit = {1, 2, 3, 4};
    CompressedVideo video{-1, 999999999, "cam_10", accessUnit.data(), accessUnit.size(), "h265"};
    const auto bytes = Encode(video);
    ASSERT_EQ(bytes.size(), 4U + 8U + 4U + 7U + 1U + 4U + 4U + 4U + 5U);
    EXPECT_EQ(bytes[4 + 8 + 4 + 7], 0x00);  // the pad byte is zero
    EXPECT_EQ(bytes[4], 0xFF);              // sec -1 in two's complement

    CompressedVideo empty{0, 0, "", nullptr, 0, ""};
    const std::vector<std::uint8_t> expected = {0x00, 0x01, 0x00, 0x00, 0,    0, 0, 0, 0, 0, 0,
                                                0,    0x01, 0x00, 0x00, 0x00, 0, 0, 0, 0,  // "" and its pad
                                                0x00, 0x00, 0x00, 0x00,                    // no data
                                                0x01, 0x00, 0x00, 0x00, 0};
    EXPECT_EQ(Encode(empty), expected);
}

TEST(CompressedVideoTest, DecodesWhatItEncodesAndRefusesWhatIsNoCompressedVideo) {
    std::vector<std::uint8_t> accessUnit(1001);
    for (std::size_t i = 0; i < accessUnit.size(); ++i) {
        accessUnit[i] = static_cast<std::uint8_t>(i * 7);
    }
    const CompressedVideo video{12, 34, "cam_11", accessUnit.data(), accessUnit.size(), "h264"};
    const auto bytes = Encode(video);
    CompressedVideo decoded;
    ASSERT_TRUE(DecodeCompressedVideo(bytes.data(), bytes.size(), &decoded));
    EXPECT_EQ(decoded.sec, 12);
    EXPECT_EQ(decoded.nanosec, 34U);
    EXPECT_EQ(decoded.frameId, "cam_11");
    EXPECT_EQ(decoded.format, "h264");
    EXPECT_EQ(std::vector<std::uint8_t>(decoded.data, decoded.data + decoded.size), accessUnit);

    for (std::size_t cut = 0; cut < bytes.size(); cut += 97) {
        EXPECT_FALSE(DecodeCompressedVideo(bytes.data(), cut, &decoded)) << "cut at " << cut;
    }
    auto bigEndian = bytes;
    bigEndian[1] = 0x00;  // CDR_BE
    EXPECT_FALSE(DecodeCompressedVideo(bigEndian.data(), bigEndian.size(), &decoded));
    auto unterminated = bytes;
    unterminated[4 + 8 + 4 + 6] = 'x';  // frame_id's NUL
    EXPECT_FALSE(DecodeCompressedVideo(unterminated.data(), unterminated.size(), &decoded));
    auto tooLong = bytes;
    tooLong[4 + 8 + 4 + 7 + 1 + 3] = 0x7F;  // data length far beyond the end
    EXPECT_FALSE(DecodeCompressedVideo(tooLong.data(), tooLong.size(), &decoded));
}

TEST(CompressedVideoTest, SchemaIsTheMessageDefinitionThenTheTimeTypeItUses) {
    const std::string schema(CompressedVideoSchema());
    EXPECT_EQ(
        schema.find("builtin_interfaces/Time timestamp\nstring frame_id\nuint8[] data\nstring format\n"), 0U);
    EXPECT_NE(schema.find("\n" + std::string(80, '=') +
                          "\nMSG: builtin_interfaces/Time\nint32 sec\nuint32 "
                          "nanosec\n"),
              std::string::npos);
}

TEST(CompressedVideoTest, TheFormatComesFromTheParameterSetsOfAKeyFrame) {
    const std::vector<std::uint8_t> h264Key = {0, 0, 0,    1,    0x67, 0x64, 0x00, 0x1F, 0,   0,
                                               0, 1, 0x68, 0xEE, 0,    0,    1,    0x65, 0x88};
    const std::vector<std::uint8_t> h265Key = {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0, 0, 0, 1,    0x42, 0x01, 0x01,
                                               0, 0, 0, 1, 0x44, 0x01, 0xC1, 0, 0, 1, 0x26, 0x01, 0xAF};
    const std::vector<std::uint8_t> h264Delta = {0, 0, 0, 1, 0x41, 0x9A, 0x02};
    EXPECT_EQ(AnnexBVideoFormat(h264Key.data(), h264Key.size()), "h264");
    EXPECT_EQ(AnnexBVideoFormat(h265Key.data(), h265Key.size()), "h265");
    EXPECT_EQ(AnnexBVideoFormat(h264Delta.data(), h264Delta.size()), "");
    EXPECT_EQ(AnnexBVideoFormat(h264Key.data(), 4), "");  // a start code and nothing after it
}

}  // namespace
}  // namespace camera_tools
