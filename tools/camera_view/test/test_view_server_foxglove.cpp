// The Foxglove WebSocket protocol of the server against a Beast client: the handshake and who may open it,
// the channels it advertises, subscribing and unsubscribing, the first frame at a key frame, and a client
// too slow for the stream. The independent client (@foxglove/ws-protocol) is in the page test's neighbour,
// camera_view_foxglove_test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "foxglove_protocol.h"
#include "view_client.h"
#include "view_server.h"

namespace camera_view {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using test::Connect;
using test::RawStatus;
using test::WaitFor;

// A camera's message whose stamp's seconds are its frame number `number`; log time number * 1000.
std::shared_ptr<const std::vector<std::uint8_t>> Video(std::uint32_t number, std::size_t size = 100) {
    const std::vector<std::uint8_t> data(size, static_cast<std::uint8_t>(number));
    const camera_tools::CompressedVideo video{
        static_cast<std::int32_t>(number), 0, "cam_8", data.data(), data.size(), "h264"};
    return MakeVideoMessage(static_cast<std::int64_t>(number) * 1000, video);
}

struct MessageData {
    std::uint32_t subscription{0};
    std::uint64_t logTime{0};
    std::string payload;
    // The frame number of a video message (its stamp's seconds).
    std::uint32_t Number() const {
        camera_tools::CompressedVideo video;
        EXPECT_TRUE(camera_tools::DecodeCompressedVideo(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                                        payload.size(), &video));
        return static_cast<std::uint32_t>(video.sec);
    }
};

class Client {
  public:
    explicit Client(std::uint16_t port, int receiveBufferBytes = 0)
        : ws_(Connect(io_, port, receiveBufferBytes)) {
        ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
            request.set(http::field::sec_websocket_protocol, "foxglove.websocket.v1");
        }));
        websocket::response_type response;
        ws_.handshake(response, "127.0.0.1", "/");
        subprotocol_ = std::string(response[http::field::sec_websocket_protocol]);
    }

    const std::string& Subprotocol() const { return subprotocol_; }
    void Send(const std::string& text) {
        ws_.text(true);
        ws_.write(net::buffer(text));
    }
    // The next text message, parsed; null when a binary one or none came.
    Json ReadJson() {
        std::string text;
        bool binary = true;
        return Read(&text, &binary) && !binary ? Json::parse(text, nullptr, false) : Json();
    }
    // The next message-data frame; false when none came or a text message came first.
    bool ReadData(MessageData* data) {
        std::string bytes;
        bool binary = false;
        if (!Read(&bytes, &binary) || !binary || bytes.size() < 13 || bytes[0] != 0x01) {
            return false;
        }
        const auto* at = reinterpret_cast<const std::uint8_t*>(bytes.data());
        data->subscription = 0;
        data->logTime = 0;
        for (int i = 3; i >= 0; --i) {
            data->subscription = data->subscription << 8U | at[1 + i];
        }
        for (int i = 7; i >= 0; --i) {
            data->logTime = data->logTime << 8U | at[5 + i];
        }
        data->payload = bytes.substr(13);
        return true;
    }

  private:
    bool Read(std::string* message, bool* binary) {
        beast::flat_buffer buffer;
        beast::error_code error;
        ws_.read(buffer, error);
        if (error) {
            return false;
        }
        *message = beast::buffers_to_string(buffer.data());
        *binary = ws_.got_binary();
        return true;
    }

    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
    std::string subprotocol_;
};

std::string FoxgloveUpgrade(const std::string& host, const std::string& origin, const std::string& path = "/",
                            bool subprotocol = true) {
    std::string text = "GET " + path + " HTTP/1.1\r\nHost: " + host +
                       "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    if (subprotocol) {
        text += "Sec-WebSocket-Protocol: json, foxglove.websocket.v1\r\n";
    }
    if (!origin.empty()) {
        text += "Origin: " + origin + "\r\n";
    }
    return text + "\r\n";
}

TEST(ViewServerFoxgloveTest, AClientLearnsTheChannelsAndGetsWhatItSubscribesFromTheNextKeyFrame) {
    auto sut = test::StartServer();
    ASSERT_TRUE(sut);
    Client client(sut->Port());
    EXPECT_EQ(client.Subprotocol(), "foxglove.websocket.v1");
    EXPECT_EQ(client.ReadJson()["op"], "serverInfo");
    const Json advertise = client.ReadJson();
    ASSERT_EQ(advertise["op"], "advertise");
    EXPECT_EQ(advertise["channels"].size(), 5U);
    EXPECT_EQ(sut->Counters().foxgloveClients, 1U);

    client.Send(
        R"({"op":"subscribe","subscriptions":[{"id":7,"channelId":1},{"id":8,"channelId":2},{"id":9,"channelId":5}]})");
    ASSERT_TRUE(WaitFor([&] { return sut->FoxgloveSubscribed(0) && sut->FoxgloveSubscribed(1); }));
    EXPECT_FALSE(sut->FoxgloveSubscribed(2));
    sut->PublishFoxgloveVideo(Video(0), 0, false);  // subscribed between key frames: skipped
    sut->PublishFoxgloveVideo(Video(1), 0, true);
    sut->PublishFoxgloveVideo(Video(50), 1, true);
    sut->PublishFoxgloveVideo(Video(60), 2, true);  // camera 2: not subscribed
    sut->PublishFoxgloveVideo(Video(2), 0, false);
    sut->PublishText(R"({"cameras":[]})");

    // The video in order; the figures (which may overtake it) on their own subscription.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> video;  // subscription, frame
    MessageData data;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(client.ReadData(&data));
        if (data.subscription == 9U) {
            EXPECT_EQ(data.payload, R"({"cameras":[]})");
            continue;
        }
        video.emplace_back(data.subscription, data.Number());
        if (data.Number() == 1U) {
            EXPECT_EQ(data.logTime, 1000U);
        }
    }
    EXPECT_EQ(video, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{7, 1}, {8, 50}, {7, 2}}));

    // Unsubscribed, camera 0's frames stop; a refused request is answered in order, after the unsubscribe.
    client.Send(R"({"op":"unsubscribe","subscriptionIds":[7]})");
    client.Send(R"({"op":"subscribe"})");
    const Json status = client.ReadJson();
    EXPECT_EQ(status["op"], "status");
    EXPECT_EQ(status["level"], 2);
    EXPECT_FALSE(sut->FoxgloveSubscribed(0));
    sut->PublishFoxgloveVideo(Video(3), 0, true);
    sut->PublishFoxgloveVideo(Video(51), 1, false);
    ASSERT_TRUE(client.ReadData(&data));
    EXPECT_EQ(data.subscription, 8U) << "a frame of camera 0 came after its unsubscribe";
    EXPECT_EQ(data.Number(), 51U);

    // Subscribed again (the id is free again), the camera starts over at a key frame.
    client.Send(R"({"op":"subscribe","subscriptions":[{"id":7,"channelId":1}]})");
    ASSERT_TRUE(WaitFor([&] { return sut->FoxgloveSubscribed(0); }));
    sut->PublishFoxgloveVideo(Video(4), 0, false);
    sut->PublishFoxgloveVideo(Video(5), 0, true);
    ASSERT_TRUE(client.ReadData(&data));
    EXPECT_EQ(data.Number(), 5U);
    EXPECT_EQ(sut->Counters().refusedRequests, 1U);
}

TEST(ViewServerFoxgloveTest, ToolsAndNamedOriginsAreServedOtherPagesAreRefused) {
    ServerOptions options;
    options.allowedOrigins = {"https://app.foxglove.dev"};
    auto sut = test::StartServer(options);
    ASSERT_TRUE(sut);
    const std::uint16_t port = sut->Port();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "")), 101U);  // the desktop app, a tool: no Origin
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "https://app.foxglove.dev")), 101U);
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "http://" + host)), 101U);  // its own page
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "https://evil.example")), 403U);
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "https://app.foxglove.dev.evil.example")), 403U);
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "null")), 403U);
    // The named origin is for the Foxglove socket only, not the page's.
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "https://app.foxglove.dev", "/ws", false)), 403U);
    EXPECT_EQ(sut->Counters().refusedOrigins, 4U);
    // The same Host rule as everywhere, and "/" speaks only the Foxglove protocol.
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade("evil.example:" + std::to_string(port), "")), 403U);
    EXPECT_EQ(RawStatus(port, FoxgloveUpgrade(host, "", "/", false)), 400U);
}

// A client that stops reading costs a bounded queue and, when it reads again, goes on from a key frame:
// after every gap in what it gets comes a key frame.
TEST(ViewServerFoxgloveTest, AClientTooSlowForTheStreamSkipsAheadToTheNewestKeyFrame) {
    ServerOptions options;
    options.queueLimits = ViewerQueue::Limits{16, 1U << 20U};
    auto sut = test::StartServer(options);
    ASSERT_TRUE(sut);
    Client client(sut->Port(), 4096);
    ASSERT_EQ(client.ReadJson()["op"], "serverInfo");
    ASSERT_EQ(client.ReadJson()["op"], "advertise");
    client.Send(R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":1}]})");
    ASSERT_TRUE(WaitFor([&] { return sut->FoxgloveSubscribed(0); }));

    constexpr std::uint32_t kFrames = 300;  // 15 MB, far more than the queue and the socket buffers hold
    constexpr std::uint32_t kGop = 30;
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        sut->PublishFoxgloveVideo(Video(i, 50000), 0, i % kGop == 0);
    }
    sut->PublishFoxgloveVideo(Video(kFrames, 50000), 0, true);  // the last, a key frame: always delivered

    std::vector<std::uint32_t> received;
    MessageData data;
    while (client.ReadData(&data)) {
        received.push_back(data.Number());
        if (received.back() == kFrames) {
            break;
        }
    }
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), kFrames);
    EXPECT_EQ(received.front() % kGop, 0U);
    for (std::size_t i = 1; i < received.size(); ++i) {
        ASSERT_GT(received[i], received[i - 1]);
        if (received[i] != received[i - 1] + 1) {
            EXPECT_EQ(received[i] % kGop, 0U) << "frame " << received[i] << " after a gap is no key frame";
        }
    }
    EXPECT_LT(received.size(), kFrames / 2);
    const ServerCounters counters = sut->Counters();
    EXPECT_GT(counters.skippedFrames, kFrames / 2);
    EXPECT_LE(counters.peakQueuedBytes, options.queueLimits.maxBytes + 50100U);
}

}  // namespace
}  // namespace camera_view
