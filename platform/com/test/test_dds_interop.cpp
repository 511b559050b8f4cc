// The DDS binding against an independent RTPS implementation: a Fast DDS process (fastdds_video_peer) finds
// the cameras' topics by name and type name, receives the four streams the binding writes (x264 access units
// from dds_video_publisher) and FFmpeg decodes them at the size they were encoded, over loopback and across
// two network namespaces joined by a veth pair. And what a foreign peer can do wrong: send samples that do
// not deserialize, stop reading (reliable), vanish (its writer leaves, its stopped reader's lease runs out).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/eventually.h"
#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "dds_test_support.h"
#include "impl_type_camerah265image.h"
#include "network_namespaces.h"
#include "vrt/cm/dds/dds_transport.h"

namespace {

using camera_test::ReadText;
using camera_test::StartChild;
using camera_test::WaitForText;
using vrt::cm::test::CycloneConfig;
using vrt::cm::test::DdsManifest;
using vrt::cm::test::NetworkNamespaces;
using vrt::cm::test::ScopedManifest;
using vrt::cm::test::TestDomainId;

constexpr std::uint32_t kEvent = 35045;
constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrames = 60;

template <typename Condition>
bool Eventually(Condition condition) {
    return camera_test::Eventually(condition, std::chrono::milliseconds(15000));
}

// The Fast DDS subscriber's closing lines, one per camera, say what it received and decoded.
void ExpectEveryStreamDecoded(const std::string& report, int frames) {
    for (int camera = 8; camera < 12; ++camera) {
        const std::regex line("camera " + std::to_string(camera) +
                              " received (\\d+) decoded (\\d+) errors 0 size " + std::to_string(kWidth) +
                              "x" + std::to_string(kHeight) + " format h264 frame_id cam_" +
                              std::to_string(camera));
        std::smatch match;
        ASSERT_TRUE(std::regex_search(report, match, line)) << report;
        EXPECT_GE(std::stoi(match[1]), frames) << report;
        EXPECT_GE(std::stoi(match[2]), frames) << report;
    }
}

class DdsInteropTest : public ::testing::Test {
  protected:
    std::string WriteConfig(const std::string& address, const std::string& peer) {
        std::string path = manifest.Directory() + "/cyclonedds.xml";
        EXPECT_TRUE(camera_test::WriteFile(path, CycloneConfig(address, peer)));
        return path;
    }

    // The Fast DDS subscriber on the interface with `address`, announcing itself to `peer`.
    std::vector<std::string> Subscriber(const std::string& qos, const std::string& peer,
                                        const std::string& address, int frames = kFrames) {
        return {FASTDDS_PEER,
                "subscribe",
                std::to_string(domain),
                "vrt_test",
                "8,9,10,11",
                std::to_string(frames),
                std::to_string(kWidth),
                std::to_string(kHeight),
                qos,
                "40000",
                peer,
                address};
    }
    std::vector<std::string> Publisher(int frames = kFrames, int intervalUs = 10000, int fillerBytes = 0) {
        return {DDS_VIDEO_PUBLISHER,     std::to_string(frames),     std::to_string(kWidth),
                std::to_string(kHeight), std::to_string(intervalUs), std::to_string(fillerBytes)};
    }

    ScopedManifest manifest{"{}"};
    std::uint32_t domain{TestDomainId()};
};

TEST_F(DdsInteropTest, FastDdsSubscriberDecodesTheFourStreamsOverLoopback) {
    manifest.Write(
        DdsManifest(kEvent, domain, WriteConfig("127.0.0.1", "127.0.0.1"), ", \"qos\": \"reliable\""));
    const std::string sub = manifest.Directory() + "/sub.txt";
    const std::string pub = manifest.Directory() + "/pub.txt";
    auto receiving = StartChild(Subscriber("reliable", "127.0.0.1", "127.0.0.1"), sub);
    ASSERT_TRUE(WaitForText(sub, "ready", std::chrono::seconds(10))) << ReadText(sub);
    auto sending = StartChild(Publisher(), pub);
    EXPECT_EQ(receiving.Wait(std::chrono::seconds(60)), 0) << ReadText(sub) << ReadText(pub);
    EXPECT_EQ(sending.Wait(std::chrono::seconds(60)), 0) << ReadText(pub);
    ExpectEveryStreamDecoded(ReadText(sub), kFrames);
}

TEST_F(DdsInteropTest, FastDdsSubscriberReadsTheSensorDataProfileOverLoopback) {
    manifest.Write(DdsManifest(kEvent, domain, WriteConfig("127.0.0.1", "127.0.0.1")));
    const std::string sub = manifest.Directory() + "/sub.txt";
    const std::string pub = manifest.Directory() + "/pub.txt";
    auto receiving = StartChild(Subscriber("sensor_data", "127.0.0.1", "127.0.0.1"), sub);
    ASSERT_TRUE(WaitForText(sub, "ready", std::chrono::seconds(10))) << ReadText(sub);
    auto sending = StartChild(Publisher(), pub);
    // Best effort may lose samples; the subscriber wants at least half of them decoded at the right size.
    EXPECT_EQ(receiving.Wait(std::chrono::seconds(60)), 0) << ReadText(sub) << ReadText(pub);
    EXPECT_EQ(sending.Wait(std::chrono::seconds(60)), 0) << ReadText(pub);
}

TEST_F(DdsInteropTest, FastDdsSubscriberInAnotherNetworkNamespaceDecodesTheFourStreams) {
    NetworkNamespaces namespaces(IP_BINARY);
    ASSERT_TRUE(namespaces.Ok())
        << "network namespaces cannot be created here (needs root and `ip netns`); the veth test did not run";
    ASSERT_TRUE(vrt::cm::test::WaitForCarrier(namespaces)) << "the veth pair has no carrier";
    manifest.Write(DdsManifest(kEvent, domain, WriteConfig(namespaces.AddressA(), namespaces.AddressB()),
                               ", \"qos\": \"reliable\""));
    const std::string sub = manifest.Directory() + "/sub.txt";
    const std::string pub = manifest.Directory() + "/pub.txt";
    auto receiving = StartChild(
        namespaces.In(namespaces.B(), Subscriber("reliable", namespaces.AddressA(), namespaces.AddressB())),
        sub);
    ASSERT_TRUE(WaitForText(sub, "ready", std::chrono::seconds(10))) << ReadText(sub);
    auto sending = StartChild(namespaces.In(namespaces.A(), Publisher()), pub);
    EXPECT_EQ(receiving.Wait(std::chrono::seconds(60)), 0) << ReadText(sub) << ReadText(pub);
    EXPECT_EQ(sending.Wait(std::chrono::seconds(60)), 0) << ReadText(pub);
    ExpectEveryStreamDecoded(ReadText(sub), kFrames);
}

TEST_F(DdsInteropTest, SamplesThatDoNotDeserializeAreCountedAndTheStreamGoesOn) {
    const std::string config = WriteConfig("127.0.0.1", "127.0.0.1");
    manifest.Write(DdsManifest(kEvent, domain, config, ", \"qos\": \"reliable\""));
    vrt::cm::dds::DdsDeployment deployment;
    deployment.domainId = domain;
    deployment.prefix = "vrt_test";
    deployment.qos = vrt::cm::dds::QosProfile::kReliable;
    deployment.configFile = config;
    const auto& codec = DdsCodec(static_cast<const CameraH265Image*>(nullptr));
    auto receiver = vrt::cm::dds::DdsEventReceiver::Create(codec, deployment, 16);
    ASSERT_TRUE(receiver.HasValue()) << receiver.Error().message;
    auto publisher = vrt::cm::dds::DdsEventPublisher::Create(codec, deployment);
    ASSERT_TRUE(publisher.HasValue()) << publisher.Error().message;
    auto& sut = *receiver.Value();
    publisher.Value()->Offer();

    const std::string bad = manifest.Directory() + "/bad.txt";
    auto malformed = StartChild({FASTDDS_PEER, "publish-malformed", std::to_string(domain), "vrt_test", "8",
                                 "20", "127.0.0.1", "127.0.0.1"},
                                bad);
    EXPECT_EQ(malformed.Wait(std::chrono::seconds(40)), 0) << ReadText(bad);
    EXPECT_TRUE(Eventually([&] { return sut.Counters().malformed.load() >= 1U; }))
        << sut.Counters().Describe();
    EXPECT_EQ(sut.Counters().badSample.load(), 0U) << "nothing malformed reaches the record";
    // The Fast DDS writer went away with its process: the reader saw it go.
    EXPECT_TRUE(Eventually([&] { return sut.Counters().writersLost.load() >= 1U; }))
        << sut.Counters().Describe();

    CameraH265Image image;
    image.cameraId = 0;
    image.data = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x11};
    ASSERT_TRUE(Eventually([&] { return publisher.Value()->TopicsWithReaders() == 4U; }));
    ASSERT_EQ(publisher.Value()->Write(&image), vrt::cm::SendStatus::kSent);
    CameraH265Image received;
    bool decoded = false;
    bool taken = false;
    ASSERT_TRUE(Eventually([&] {
        sut.WaitForData(std::chrono::milliseconds(10));
        taken = sut.TakeRecord(&received, decoded, nullptr);
        return taken;
    }));
    EXPECT_TRUE(decoded);
    EXPECT_EQ(received.data, image.data);
}

TEST_F(DdsInteropTest, StoppedReliableReaderHoldsTheSenderNoLongerThanMaxBlockingAndIsDroppedOnceGone) {
    manifest.Write(DdsManifest(kEvent, domain, WriteConfig("127.0.0.1", "127.0.0.1"),
                               ", \"qos\": \"reliable\", \"maxBlockingMs\": 5"));
    const std::string sub = manifest.Directory() + "/sub.txt";
    const std::string pub = manifest.Directory() + "/pub.txt";
    auto receiving = StartChild(Subscriber("reliable", "127.0.0.1", "127.0.0.1", 100000), sub);
    ASSERT_TRUE(WaitForText(sub, "ready", std::chrono::seconds(10))) << ReadText(sub);
    // 300 rounds of four frames of 100 kB (a 720p key frame's size), 10 ms apart: three seconds of sending,
    // most of it to a stopped reader that acknowledges nothing.
    auto sending = StartChild(Publisher(300, 10000, 100000), pub);
    ASSERT_TRUE(WaitForText(pub, "streaming", std::chrono::seconds(20))) << ReadText(pub);
    receiving.Signal(SIGSTOP);
    EXPECT_EQ(sending.Wait(std::chrono::seconds(60)), 0) << ReadText(pub);
    receiving.Signal(SIGKILL);
    const std::string report = ReadText(pub);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(report, match, std::regex("longest (\\d+) us counters (.*)"))) << report;
    // maxBlockingMs is 5 (keep-last writers do not wait at all: the oldest unacknowledged sample goes); what
    // is beyond it is the scheduling of a loaded machine, not the reader.
    EXPECT_LT(std::stoi(match[1]), 50000) << report;
    EXPECT_NE(match[2].str().find("readersLost=4"), std::string::npos)
        << "the stopped reader's lease ran out: " << report;
}

}  // namespace
