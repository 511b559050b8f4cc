// The image record over DDS: Cyclone's serialization of it (taken off a reader of the same process) is
// byte for byte the XCDR1 encoding of foxglove_msgs/msg/CompressedVideo written out here by hand, and a
// received sample comes back as the record, its key-frame flag read from the access unit.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/eventually.h"
#include "impl_type_camerah265image.h"
#include "vrt/cm/dds/dds_transport.h"

namespace {

using namespace vrt::cm::dds;

// An H.264 key frame: SPS, PPS and an IDR slice; or a P slice alone.
std::vector<std::uint8_t> H264Frame(bool key) {
    if (key) {
        return {0, 0,    0,    1,    0x67, 0x42, 0x00, 0x1E, 0,    0,    0,
                1, 0x68, 0xCE, 0x38, 0x80, 0,    0,    1,    0x65, 0x88, 0x84};
    }
    return {0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x03, 0x04};
}

// An H.265 key frame: VPS, SPS, PPS and an IDR_W_RADL slice.
std::vector<std::uint8_t> H265KeyFrame() {
    return {0, 0, 0, 1,    0x40, 0x01, 0x0C, 0, 0, 0, 1,    0x42, 0x01, 0x01, 0,
            0, 0, 1, 0x44, 0x01, 0xC1, 0,    0, 0, 1, 0x26, 0x01, 0xAF, 0x10};
}

CameraH265Image Image(std::int8_t camera, std::vector<std::uint8_t> data, bool key) {
    CameraH265Image image;
    image.typeCode = 20;
    image.cameraId = camera;
    image.data = std::move(data);
    image.header.sec = 1700000000;
    image.header.nsec = 123456789;
    image.header.frameId = "vcu_camera_instance_71";
    image.isKeyFrame = key;
    return image;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void Align4(std::vector<std::uint8_t>& out) {
    while ((out.size() - 4U) % 4U != 0U) {  // alignment counts from the end of the encapsulation header
        out.push_back(0);
    }
}

void PutString(std::vector<std::uint8_t>& out, const std::string& text) {
    Align4(out);
    Put32(out, static_cast<std::uint32_t>(text.size() + 1U));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

// XCDR1 little-endian, as ROS 2 writes the message: encapsulation CDR_LE, then the fields in order, padded to
// a multiple of 4 bytes; the encapsulation options' low two bits say how many bytes of padding end it.
std::vector<std::uint8_t> ExpectedXcdr1(const CameraH265Image& image, const std::string& frameId,
                                        const std::string& format) {
    std::vector<std::uint8_t> out{0x00, 0x01, 0x00, 0x00};
    Put32(out, static_cast<std::uint32_t>(image.header.sec));
    Put32(out, static_cast<std::uint32_t>(image.header.nsec));
    PutString(out, frameId);
    Align4(out);
    Put32(out, static_cast<std::uint32_t>(image.data.size()));
    out.insert(out.end(), image.data.begin(), image.data.end());
    PutString(out, format);
    const std::size_t unpadded = out.size();
    Align4(out);
    out[3] = static_cast<std::uint8_t>(out.size() - unpadded);
    return out;
}

using camera_test::Eventually;

class CameraImageDdsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Cyclone on loopback only, without multicast; a domain of its own, so that parallel runs do not
        // meet.
        ::setenv(
            "CYCLONEDDS_URI",
            "<CycloneDDS><Domain id=\"any\"><General><Interfaces><NetworkInterface address=\"127.0.0.1\"/>"
            "</Interfaces><AllowMulticast>false</AllowMulticast></General></Domain></CycloneDDS>",
            1);
        deployment.domainId = 100U + static_cast<std::uint32_t>(::getpid() % 100);
        deployment.prefix = "dds_codec_test";
        deployment.qos = QosProfile::kReliable;
        deployment.cameras = {2, 3};
        auto publisher =
            DdsEventPublisher::Create(DdsCodec(static_cast<const CameraH265Image*>(nullptr)), deployment);
        ASSERT_TRUE(publisher.HasValue()) << publisher.Error().message;
        publisher_ = std::move(publisher).Value();
        auto receiver =
            DdsEventReceiver::Create(DdsCodec(static_cast<const CameraH265Image*>(nullptr)), deployment, 16);
        ASSERT_TRUE(receiver.HasValue()) << receiver.Error().message;
        receiver_ = std::move(receiver).Value();
        publisher_->Offer();
        ASSERT_TRUE(Eventually([this] { return publisher_->HasSubscribers() && receiver_->IsConnected(); }));
    }

    std::vector<std::uint8_t> ReceiveBytes() {
        std::vector<std::uint8_t> bytes;
        if (receiver_->WaitForData(std::chrono::seconds(5))) {
            receiver_->Take([&bytes](const std::uint8_t* data, std::size_t size,
                                     const vrt::cm::SampleHeader&) { bytes.assign(data, data + size); });
        }
        return bytes;
    }

    DdsDeployment deployment;
    std::unique_ptr<DdsEventPublisher> publisher_;
    std::unique_ptr<DdsEventReceiver> receiver_;
};

TEST_F(CameraImageDdsTest, WireBytesAreTheXcdr1EncodingOfCompressedVideo) {
    EXPECT_EQ(publisher_->TopicNames(),
              (std::vector<std::string>{"rt/dds_codec_test/cam_2/video", "rt/dds_codec_test/cam_3/video"}));
    // 22 bytes of data: the format string after it needs two bytes of padding.
    // Camera index 1 is the deployment's second camera, id 3.
    const CameraH265Image key = Image(1, H264Frame(true), true);
    ASSERT_EQ(publisher_->Write(&key), vrt::cm::SendStatus::kSent);
    EXPECT_EQ(ReceiveBytes(), ExpectedXcdr1(key, "cam_3", "h264"));

    // A frame between key frames keeps the format its camera's last key frame showed.
    const CameraH265Image next = Image(1, H264Frame(false), false);
    ASSERT_EQ(publisher_->Write(&next), vrt::cm::SendStatus::kSent);
    EXPECT_EQ(ReceiveBytes(), ExpectedXcdr1(next, "cam_3", "h264"));
}

TEST_F(CameraImageDdsTest, RecordsComeBackWithTheirCameraStampAndKeyFlag) {
    const CameraH265Image key = Image(0, H265KeyFrame(), true);
    ASSERT_EQ(publisher_->Write(&key), vrt::cm::SendStatus::kSent);
    ASSERT_TRUE(receiver_->WaitForData(std::chrono::seconds(5)));
    CameraH265Image received;
    bool decoded = false;
    vrt::cm::SampleHeader header;
    ASSERT_TRUE(receiver_->TakeRecord(&received, decoded, &header));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(received.cameraId, 0);
    EXPECT_EQ(received.typeCode, 20);
    EXPECT_EQ(received.data, key.data);
    EXPECT_EQ(received.header.sec, key.header.sec);
    EXPECT_EQ(received.header.nsec, key.header.nsec);
    EXPECT_EQ(received.header.frameId, "cam_2");
    EXPECT_TRUE(received.isKeyFrame);
    EXPECT_EQ(header.sequence, 0U);
}

TEST_F(CameraImageDdsTest, RecordsThatCannotBeSentAreCountedNotSent) {
    // Before its first key frame a camera's format is unknown; a camera without a topic; a bad stamp.
    const CameraH265Image early = Image(0, H264Frame(false), false);
    EXPECT_EQ(publisher_->Write(&early), vrt::cm::SendStatus::kWriteFailed);
    const CameraH265Image stranger = Image(2, H264Frame(true), true);
    EXPECT_EQ(publisher_->Write(&stranger), vrt::cm::SendStatus::kWriteFailed);
    CameraH265Image badStamp = Image(0, H264Frame(true), true);
    badStamp.header.nsec = 1000000000;
    EXPECT_EQ(publisher_->Write(&badStamp), vrt::cm::SendStatus::kWriteFailed);
    EXPECT_EQ(publisher_->Counters().noFormat.load(), 1U);
    EXPECT_EQ(publisher_->Counters().unknownCamera.load(), 1U);
    EXPECT_EQ(publisher_->Counters().badRecord.load(), 1U);
    EXPECT_FALSE(receiver_->WaitForData(std::chrono::milliseconds(100)));
}

}  // namespace
