#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "foxglove_protocol.h"
#include "host_policy.h"

namespace camera_view {
namespace {

using Json = nlohmann::json;

TEST(FoxgloveProtocolTest, AdvertisesTheFourCamerasAsCompressedVideoAndTheFiguresAsJson) {
    const Json advertise = Json::parse(AdvertiseJson());
    EXPECT_EQ(advertise["op"], "advertise");
    ASSERT_EQ(advertise["channels"].size(), 5U);
    for (int camera = 0; camera < kCameras; ++camera) {
        const Json& channel = advertise["channels"][static_cast<std::size_t>(camera)];
        EXPECT_EQ(channel["id"], camera + 1);
        EXPECT_EQ(channel["topic"], "/cam_" + std::to_string(8 + camera) + "/video");
        EXPECT_EQ(channel["encoding"], "cdr");
        EXPECT_EQ(channel["schemaName"], "foxglove_msgs/msg/CompressedVideo");
        EXPECT_EQ(channel["schemaEncoding"], "ros2msg");
        EXPECT_EQ(channel["schema"], std::string(camera_tools::CompressedVideoSchema()));
    }
    const Json& figures = advertise["channels"][4];
    EXPECT_EQ(figures["id"], kFiguresChannel);
    EXPECT_EQ(figures["encoding"], "json");
    EXPECT_EQ(figures["schemaEncoding"], "jsonschema");
    EXPECT_TRUE(Json::parse(figures["schema"].get<std::string>()).is_object());

    const Json info = Json::parse(ServerInfoJson("17"));
    EXPECT_EQ(info["op"], "serverInfo");
    EXPECT_EQ(info["capabilities"], Json::array());
    EXPECT_EQ(info["sessionId"], "17");
}

TEST(FoxgloveProtocolTest, MessageDataIsTheHeaderOfTheClientThenTheSharedLogTimeAndPayload) {
    EXPECT_EQ(MessageDataHeader(0x01020304U), (std::array<std::uint8_t, 5>{0x01, 0x04, 0x03, 0x02, 0x01}));

    const std::vector<std::uint8_t> accessUnit = {0, 0, 0, 1, 0x65, 0x88};
    const camera_tools::CompressedVideo video{5, 6, "cam_9", accessUnit.data(), accessUnit.size(), "h264"};
    const auto message = MakeVideoMessage(0x1122334455667788LL, video);
    ASSERT_EQ(message->size(), 8U + camera_tools::CompressedVideoCdrSize(video));
    EXPECT_EQ(std::vector<std::uint8_t>(message->begin(), message->begin() + 8),
              (std::vector<std::uint8_t>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    camera_tools::CompressedVideo decoded;
    ASSERT_TRUE(camera_tools::DecodeCompressedVideo(message->data() + 8, message->size() - 8, &decoded));
    EXPECT_EQ(decoded.frameId, "cam_9");
    EXPECT_EQ(decoded.size, accessUnit.size());

    const auto figures = MakeFiguresMessage(1, "{\"a\":1}");
    EXPECT_EQ(std::string(figures->begin() + 8, figures->end()), "{\"a\":1}");
}

TEST(FoxgloveProtocolTest, ReadsSubscribeAndUnsubscribeAndRefusesAnythingElseSayingWhy) {
    ClientRequest request = ParseClientRequest(
        R"({"op":"subscribe","subscriptions":[{"id":0,"channelId":3},{"id":7,"channelId":5}]})");
    ASSERT_EQ(request.kind, ClientRequest::Kind::kSubscribe);
    ASSERT_EQ(request.subscribe.size(), 2U);
    EXPECT_EQ(request.subscribe[1].id, 7U);
    EXPECT_EQ(request.subscribe[1].channel, 5U);

    request = ParseClientRequest(R"({"op":"unsubscribe","subscriptionIds":[4294967295]})");
    ASSERT_EQ(request.kind, ClientRequest::Kind::kUnsubscribe);
    EXPECT_EQ(request.unsubscribe, std::vector<std::uint32_t>{4294967295U});

    request = ParseClientRequest(R"({"op":"getParameters","parameterNames":[]})");
    EXPECT_EQ(request.kind, ClientRequest::Kind::kUnsupported);
    EXPECT_NE(request.problem.find("getParameters"), std::string::npos);

    std::string many = R"({"op":"unsubscribe","subscriptionIds":[)";
    for (int i = 0; i < 65; ++i) {
        many += (i > 0 ? "," : "") + std::to_string(i);
    }
    many += "]}";
    for (const std::string& text :
         {std::string("not json"), std::string("[1,2]"), std::string(R"({"op":5})"),
          std::string(R"({"subscriptions":[]})"), std::string(R"({"op":"subscribe","subscriptions":{}})"),
          std::string(R"({"op":"subscribe","subscriptions":[{"id":-1,"channelId":1}]})"),
          std::string(R"({"op":"subscribe","subscriptions":[{"id":1.5,"channelId":1}]})"),
          std::string(R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":"1"}]})"),
          std::string(R"({"op":"subscribe","subscriptions":[{"id":1}]})"),
          std::string(R"({"op":"unsubscribe","subscriptionIds":[4294967296]})"), many}) {
        request = ParseClientRequest(text);
        EXPECT_EQ(request.kind, ClientRequest::Kind::kMalformed) << text;
        EXPECT_FALSE(request.problem.empty()) << text;
    }
    // A status message carries a client's text safely, also bytes that are no UTF-8.
    EXPECT_TRUE(Json::parse(StatusJson(2, "bad \xff\" op")).is_object());
}

TEST(FoxgloveProtocolTest, AClientHasOneSubscriptionPerChannelWithIdsOfItsOwn) {
    FoxgloveSubscriptions sut;
    EXPECT_EQ(sut.Subscribe(10, 1), "");
    EXPECT_EQ(sut.Subscribe(11, 5), "");
    EXPECT_NE(sut.Subscribe(12, 1), "");  // channel 1 is taken
    EXPECT_NE(sut.Subscribe(10, 2), "");  // id 10 is in use
    EXPECT_NE(sut.Subscribe(13, 6), "");  // no channel 6
    EXPECT_NE(sut.Subscribe(13, 0), "");
    EXPECT_EQ(sut.On(1), 10U);
    EXPECT_EQ(sut.Channels(), (std::vector<std::uint32_t>{1, 5}));
    EXPECT_EQ(sut.Unsubscribe(10), 1U);
    EXPECT_FALSE(sut.Unsubscribe(10));
    EXPECT_FALSE(sut.On(1));
    EXPECT_EQ(sut.Subscribe(10, 2), "");  // an id is free again after its unsubscribe
}

TEST(FoxgloveProtocolTest, OriginsAreComparedInTheirNormalForm) {
    EXPECT_EQ(NormalizeOrigin("https://app.foxglove.dev"), "https://app.foxglove.dev");
    EXPECT_EQ(NormalizeOrigin("HTTPS://App.Foxglove.DEV:443"), "https://app.foxglove.dev");
    EXPECT_EQ(NormalizeOrigin("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
    EXPECT_EQ(NormalizeOrigin("http://[::1]:80"), "http://[::1]");
    for (const char* refused : {"null", "file://", "app.foxglove.dev", "https://app.foxglove.dev/",
                                "https://app.foxglove.dev:0", "https://a:b", "ftp://x", "https://evil/x"}) {
        EXPECT_FALSE(NormalizeOrigin(refused)) << refused;
    }
}

}  // namespace
}  // namespace camera_view
