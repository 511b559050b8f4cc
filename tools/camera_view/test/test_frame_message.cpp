#include <gtest/gtest.h>

#include "frame_message.h"

namespace camera_view {
namespace {

TEST(FrameMessageTest, HeaderIsLittleEndianAndThePayloadFollowsUnchanged) {
    const std::uint8_t payload[] = {0, 0, 0, 1, 0x67, 0x42};
    FrameHeader header;
    header.camera = 3;
    header.key = true;
    header.frameNumber = 0x01020304U;
    header.publishNs = 0x1122334455667788LL;
    header.receiveNs = -2;
    const auto sut = MakeFrameMessage(header, payload, sizeof(payload));

    ASSERT_EQ(sut->size(), kFrameHeaderSize + sizeof(payload));
    const std::vector<std::uint8_t> start(sut->begin(), sut->begin() + 16);
    EXPECT_EQ(start, (std::vector<std::uint8_t>{1, 3, 1, 0, 0x04, 0x03, 0x02, 0x01, 0x88, 0x77, 0x66, 0x55,
                                                0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(std::vector<std::uint8_t>(sut->begin() + 16, sut->begin() + 24),
              (std::vector<std::uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(std::vector<std::uint8_t>(sut->begin() + kFrameHeaderSize, sut->end()),
              std::vector<std::uint8_t>(payload, payload + sizeof(payload)));

    FrameHeader back;
    ASSERT_TRUE(ParseFrameHeader(sut->data(), sut->size(), &back));
    EXPECT_EQ(back.camera, 3);
    EXPECT_TRUE(back.key);
    EXPECT_EQ(back.frameNumber, header.frameNumber);
    EXPECT_EQ(back.publishNs, header.publishNs);
    EXPECT_EQ(back.receiveNs, -2);
}

TEST(FrameMessageTest, ShortOrForeignMessagesAreNotFrames) {
    const auto message = MakeFrameMessage(FrameHeader{}, nullptr, 0);
    FrameHeader header;
    EXPECT_TRUE(ParseFrameHeader(message->data(), message->size(), &header));
    EXPECT_FALSE(ParseFrameHeader(message->data(), kFrameHeaderSize - 1, &header));
    std::vector<std::uint8_t> text(message->begin(), message->end());
    text[0] = '{';
    EXPECT_FALSE(ParseFrameHeader(text.data(), text.size(), &header));
}

}  // namespace
}  // namespace camera_view
