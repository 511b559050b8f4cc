// camera_record --transport dds: the real recorder in one network namespace records the four cameras a
// publisher process in another writes as DDS topics (Cyclone DDS on both sides), joined by a veth pair.
#include <gtest/gtest.h>

#include <regex>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "dds_test_support.h"
#include "network_namespaces.h"
#include "record_test_support.h"

namespace camera_record {
namespace {

using camera_test::StartChild;
using vrt::cm::test::NetworkNamespaces;
using vrt::cm::test::ScopedManifest;

TEST(CameraRecordDdsTest, RecordsFourPlayableStreamsFromAPublisherInAnotherNetworkNamespace) {
    NetworkNamespaces namespaces(IP_BINARY);
    ASSERT_TRUE(namespaces.Ok()) << "network namespaces cannot be created here (needs root and `ip netns`); "
                                    "the DDS recording test did not run";
    ASSERT_TRUE(vrt::cm::test::WaitForCarrier(namespaces)) << "the veth pair has no carrier";
    constexpr int kFrames = 30;
    ScopedManifest manifest("{}");
    const std::string config = manifest.Directory() + "/cyclonedds.xml";
    ASSERT_TRUE(camera_test::WriteFile(
        config, vrt::cm::test::CycloneConfigForPeers({namespaces.AddressA(), namespaces.AddressB()})));
    manifest.Write(
        vrt::cm::test::DdsManifest(35045, vrt::cm::test::TestDomainId(), config, R"(, "qos": "reliable")"));
    const std::string out = manifest.Directory() + "/record";
    auto recorder = StartChild(
        namespaces.In(namespaces.B(), {CAMERA_RECORD, "--transport", "dds", "--frames",
                                       std::to_string(kFrames), "--output", out, "--code-scale", "1"}),
        manifest.Directory() + "/recorder.txt");
    auto publisher =
        StartChild(namespaces.In(namespaces.A(), {RECORD_PUBLISHER, "45", "10", "30", "640", "360"}),
                   manifest.Directory() + "/publisher.txt");

    ASSERT_EQ(recorder.Wait(std::chrono::seconds(90)), 0)
        << camera_test::ReadText(manifest.Directory() + "/recorder.txt");
    EXPECT_EQ(publisher.Wait(std::chrono::seconds(90)), 0)
        << camera_test::ReadText(manifest.Directory() + "/publisher.txt");
    const std::string summary = camera_test::ReadText(out + "/summary.txt");
    for (int id = 8; id <= 11; ++id) {
        const std::string name = "cam_" + std::to_string(id);
        SCOPED_TRACE(name);
        EXPECT_TRUE(std::regex_search(
            summary, std::regex(name + " frames=30 .* decode_errors=0 .*codec=h264 "
                                       "size=640x360 .*code_disorder=0 lost_frames=0 damaged_frames=0\n")))
            << summary;
        EXPECT_EQ(test::ProbeMedia(out + "/" + name + ".mp4").decodedFrames, kFrames);
    }
    EXPECT_NE(summary.find("undecodable_samples=0"), std::string::npos) << summary;
}

}  // namespace
}  // namespace camera_record
