// camera_view's Foxglove WebSocket protocol against an independent client: camera_view with a RouDi of its
// own and a publisher of the four cameras (camera_record's record_publisher), then @foxglove/ws-protocol's
// client in Node (foxglove_client.test.mjs, run with node --test) subscribes, receives and decodes.
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <optional>
#include <string>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "camera_test/roudi_process.h"
#include "camera_test/temporary_directory.h"
#include "view_process.h"

namespace camera_view {
namespace {

using camera_test::ReadText;
using camera_test::StartChild;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

std::string Manifest() {
    return R"({"events": {"35045": {"shortName": "CameraH265ImageEvent", "serviceName": "TestService",
        "serviceId": 4097, "instanceId": "1", "transports": {"SHM": {"serialization":
        {"type": 0, "byteOrder": 1, "stringLength": 4, "vectorLength": 4}}}}}})";
}

TEST(CameraViewFoxgloveTest, AnIndependentClientSubscribesReceivesAndUnsubscribes) {
    camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("camera_view_foxglove_");
    const std::string manifest = camera_test::WriteTestFile(directory, "cm_deployment.json", Manifest());
    const std::string roudiConfig = camera_test::WriteTestFile(
        directory, "roudi.toml",
        camera_test::RouDiConfig({{1024, 64}, {65536, 400}, {262144, 200}, {1048576, 16}}));
    auto roudi = camera_test::RouDiProcess::Start(IOX_ROUDI, roudiConfig);
    ASSERT_TRUE(roudi) << roudi.Error().message;

    auto view =
        StartChild({CAMERA_VIEW_BINARY, "--port", "0", "--manifest", manifest}, directory.File("view.txt"));
    const int port = harness::WaitForPort(directory.File("view.txt"), std::chrono::seconds(20));
    ASSERT_GT(port, 0) << ReadText(directory.File("view.txt"));
    EXPECT_NE(ReadText(directory.File("view.txt"))
                  .find("camera_view: in Foxglove, open connection ws://127.0.0.1:" + std::to_string(port)),
              std::string::npos);

    // Twelve seconds of the four cameras at 30 fps: the client's five and its setting up fit in.
    camera_test::SpawnOptions publisherOptions;
    publisherOptions.outputFile = directory.File("publisher.txt");
    publisherOptions.environment = {{"CM_CONFIG_FILE_PATH", directory.Path()}};
    auto publisher =
        StartChild({RECORD_PUBLISHER, "360", "30", "30", std::to_string(kWidth), std::to_string(kHeight)},
                   publisherOptions);

    camera_test::SpawnOptions clientOptions;
    clientOptions.outputFile = directory.File("client.txt");
    clientOptions.environment = {{"FOXGLOVE_URL", "ws://127.0.0.1:" + std::to_string(port)},
                                 {"FOXGLOVE_WIDTH", std::to_string(kWidth)},
                                 {"FOXGLOVE_HEIGHT", std::to_string(kHeight)}};
    auto client = StartChild({NODE_BINARY, "--test", FOXGLOVE_CLIENT_SCRIPT}, clientOptions);
    EXPECT_EQ(client.Wait(std::chrono::seconds(60)), 0) << ReadText(directory.File("client.txt"));
    std::cout << "the client's report:\n" << ReadText(directory.File("client.txt"));
    // The publisher stays while it has a subscriber: camera_view goes first.
    view.Signal(SIGTERM);
    EXPECT_EQ(view.Wait(std::chrono::seconds(10)), 0) << ReadText(directory.File("view.txt"));
    EXPECT_EQ(publisher.Wait(std::chrono::seconds(30)), 0) << ReadText(directory.File("publisher.txt"));
}

}  // namespace
}  // namespace camera_view
