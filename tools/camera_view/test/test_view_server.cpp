// The server on a loopback port of its own, against Beast clients: what a browser asks for, what a bad or
// slow client does, and many viewers at once.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "frame_message.h"
#include "view_client.h"
#include "view_server.h"

namespace camera_view {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

using test::Connect;
using test::RawStatus;
using test::Request;
using test::WaitFor;

std::unique_ptr<ViewServer> StartServer(ServerOptions options = {}) {
    auto started = test::StartServer(std::move(options));
    EXPECT_TRUE(started) << "the server did not start";
    return started;
}

class Viewer {
  public:
    explicit Viewer(std::uint16_t port, int receiveBufferBytes = 0)
        : ws_(Connect(io_, port, receiveBufferBytes)) {
        ws_.handshake("127.0.0.1", "/ws");
    }
    // The next message, binary or text; false when none came in time or the connection ended.
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
    websocket::stream<tcp::socket>& Stream() { return ws_; }

  private:
    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
};

std::shared_ptr<const std::vector<std::uint8_t>> Frame(int camera, std::uint32_t number, bool key,
                                                       std::size_t size) {
    FrameHeader header;
    header.camera = static_cast<std::uint8_t>(camera);
    header.key = key;
    header.frameNumber = number;
    const std::vector<std::uint8_t> payload(size, static_cast<std::uint8_t>(number));
    return MakeFrameMessage(header, payload.data(), payload.size());
}

// Reads frame messages until the text "end"; the frame numbers of camera 0 in order.
std::vector<std::uint32_t> ReadUntilEnd(Viewer& viewer) {
    std::vector<std::uint32_t> numbers;
    std::string message;
    bool binary = false;
    while (viewer.Read(&message, &binary)) {
        if (!binary) {
            if (message == "end") {
                break;
            }
            continue;
        }
        FrameHeader header;
        if (ParseFrameHeader(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(),
                             &header)) {
            numbers.push_back(header.frameNumber);
        }
    }
    return numbers;
}

TEST(ViewServerTest, ServesThePageAndItsAssetsAndNothingElse) {
    auto sut = StartServer();
    ASSERT_TRUE(sut);
    const auto page = Request(sut->Port(), http::verb::get, "/");
    EXPECT_EQ(page.result(), http::status::ok);
    EXPECT_EQ(page[http::field::content_type], "text/html; charset=utf-8");
    EXPECT_NE(page.body().find("/view.js"), std::string::npos);
    const auto script = Request(sut->Port(), http::verb::get, "/view.js?v=1");
    EXPECT_EQ(script.result(), http::status::ok);
    EXPECT_NE(script.body().find("VideoDecoder"), std::string::npos);
    EXPECT_EQ(Request(sut->Port(), http::verb::get, "/view.css").result(), http::status::ok);
    const auto head = Request(sut->Port(), http::verb::head, "/");
    EXPECT_EQ(head.result(), http::status::ok);
    EXPECT_TRUE(head.body().empty());

    EXPECT_EQ(Request(sut->Port(), http::verb::get, "/nothing").result(), http::status::not_found);
    EXPECT_EQ(Request(sut->Port(), http::verb::get, "/../etc/passwd").result(), http::status::not_found);
    EXPECT_EQ(Request(sut->Port(), http::verb::get, "/ws").result(), http::status::not_found);  // no upgrade
    EXPECT_EQ(Request(sut->Port(), http::verb::delete_, "/").result(), http::status::method_not_allowed);
}

TEST(ViewServerTest, RefusesOversizedHeadersBodiesAndGarbageAndKeepsServing) {
    auto sut = StartServer();
    ASSERT_TRUE(sut);
    const std::string big = "GET / HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(20000, 'a') + "\r\n\r\n";
    EXPECT_EQ(RawStatus(sut->Port(), big), 431U);
    const std::string manyHeaders = [] {
        std::string text = "GET / HTTP/1.1\r\nHost: x\r\n";
        for (int i = 0; i < 2000; ++i) {
            text += "X-" + std::to_string(i) + ": 1\r\n";
        }
        return text + "\r\n";
    }();
    EXPECT_EQ(RawStatus(sut->Port(), manyHeaders), 431U);
    EXPECT_EQ(RawStatus(sut->Port(), "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"), 413U);
    EXPECT_EQ(RawStatus(sut->Port(), "\x01\x02 nonsense\r\n\r\n"), 400U);
    EXPECT_EQ(RawStatus(sut->Port(),
                        "GET /other HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                        "Connection: upgrade\r\nSec-WebSocket-Version: 13\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n"),
              404U);
    EXPECT_EQ(Request(sut->Port(), http::verb::get, "/").result(), http::status::ok);
}

TEST(ViewServerTest, AViewerStartsEachCameraAtAKeyFrameAndGetsTheFigures) {
    auto sut = StartServer();
    ASSERT_TRUE(sut);
    Viewer viewer(sut->Port());
    ASSERT_TRUE(WaitFor([&] { return sut->Counters().streamingViewers == 1; }));

    sut->PublishFrame(Frame(0, 0, false, 100), 0, false);  // joined between key frames: skipped
    sut->PublishFrame(Frame(0, 1, true, 100), 0, true);
    sut->PublishFrame(Frame(1, 7, false, 100), 1, false);  // camera 1 still waits for its key frame
    sut->PublishFrame(Frame(0, 2, false, 100), 0, false);
    sut->PublishText("{\"type\":\"figures\"}");
    sut->PublishText("end");

    std::string message;
    bool binary = false;
    FrameHeader header;
    ASSERT_TRUE(viewer.Read(&message, &binary));
    ASSERT_TRUE(binary);
    ASSERT_TRUE(
        ParseFrameHeader(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), &header));
    EXPECT_EQ(header.frameNumber, 1U);
    EXPECT_TRUE(header.key);
    EXPECT_EQ(message.size(), kFrameHeaderSize + 100);
    ASSERT_TRUE(viewer.Read(&message, &binary));
    ASSERT_TRUE(
        ParseFrameHeader(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), &header));
    EXPECT_EQ(header.frameNumber, 2U);
    ASSERT_TRUE(viewer.Read(&message, &binary));
    EXPECT_FALSE(binary);
    EXPECT_EQ(message, "{\"type\":\"figures\"}");
    EXPECT_EQ(sut->Counters().skippedFrames, 2U);
}

// Publishes `count` frames of camera 0 (a key frame every 30) of `size` bytes at about `perSecond`, then
// "end".
void PublishStream(ViewServer& server, int count, std::size_t size, int perSecond) {
    for (int i = 0; i < count; ++i) {
        server.PublishFrame(Frame(0, static_cast<std::uint32_t>(i), i % 30 == 0, size), 0, i % 30 == 0);
        std::this_thread::sleep_for(std::chrono::microseconds(1000000 / perSecond));
    }
    server.PublishText("end");
}

// What a viewer that keeps reading sees of `count` frames: each at most once, in order, up to the last one;
// and on a machine that is not starved, nearly all of them.
void ExpectKeptUp(const std::vector<std::uint32_t>& received, int count, const std::string& who) {
    ASSERT_FALSE(received.empty()) << who;
    EXPECT_TRUE(std::is_sorted(received.begin(), received.end()) &&
                std::adjacent_find(received.begin(), received.end()) == received.end())
        << who;
    EXPECT_EQ(received.back(), static_cast<std::uint32_t>(count - 1)) << who;
    EXPECT_GE(received.size(), static_cast<std::size_t>(count) / 2) << who;
}

TEST(ViewServerTest, AViewerThatNeverReadsCostsBoundedMemoryAndNeverSlowsAnother) {
    ServerOptions options;
    options.queueLimits = ViewerQueue::Limits{64, 1U << 20U};
    auto sut = StartServer(options);
    ASSERT_TRUE(sut);
    Viewer stalled(sut->Port(), 4096);  // handshakes, then never reads
    Viewer reader(sut->Port());
    ASSERT_TRUE(WaitFor([&] { return sut->Counters().streamingViewers == 2; }));

    std::vector<std::uint32_t> received;
    std::thread reading([&] { received = ReadUntilEnd(reader); });
    constexpr int kFrames =
        300;  // 15 MB in all: more than the stalled viewer's queue and socket buffers hold
    PublishStream(*sut, kFrames, 50000, 300);
    reading.join();

    ExpectKeptUp(received, kFrames, "the reading viewer");
    const ServerCounters counters = sut->Counters();
    EXPECT_GT(counters.skippedFrames, 100U);  // the stalled viewer's
    // Two queues' worth, plus the frame each has in flight.
    EXPECT_LE(counters.peakQueuedBytes, 2U * (options.queueLimits.maxBytes + 50100U));
}

TEST(ViewServerTest, TwentyViewersAtOnceEachGetEveryFrameWithinBoundedQueues) {
    ServerOptions options;
    options.maxViewers = 20;
    options.queueLimits = ViewerQueue::Limits{64, 2U << 20U};
    auto sut = StartServer(options);
    ASSERT_TRUE(sut);
    std::vector<std::unique_ptr<Viewer>> viewers;
    for (int i = 0; i < 20; ++i) {
        viewers.push_back(std::make_unique<Viewer>(sut->Port()));
    }
    ASSERT_TRUE(WaitFor([&] { return sut->Counters().streamingViewers == 20; }));
    // The twenty-first is turned away.
    net::io_context io;
    websocket::stream<tcp::socket> extra(Connect(io, sut->Port()));
    beast::error_code refused;
    extra.handshake("127.0.0.1", "/ws", refused);
    EXPECT_TRUE(refused);
    EXPECT_EQ(sut->Counters().refusedViewers, 1U);

    std::vector<std::vector<std::uint32_t>> received(viewers.size());
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        readers.emplace_back([&, i] { received[i] = ReadUntilEnd(*viewers[i]); });
    }
    constexpr int kFrames = 300;  // 100 frames a second of 10 kB to each viewer
    PublishStream(*sut, kFrames, 10000, 100);
    for (std::thread& reader : readers) {
        reader.join();
    }
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        ExpectKeptUp(received[i], kFrames, "viewer " + std::to_string(i));
    }
    const ServerCounters counters = sut->Counters();
    EXPECT_LE(counters.peakQueuedBytes, 20U * (options.queueLimits.maxBytes + 10100U));
    viewers.clear();
    EXPECT_TRUE(WaitFor([&] { return sut->Counters().viewers == 0 && sut->Counters().queuedBytes == 0; }));
}

TEST(ViewServerTest, AnAddressThatCannotBeUsedIsNamed) {
    ServerOptions options;
    options.address = "not-an-address";
    auto bad = ViewServer::Start(options);
    ASSERT_FALSE(bad.HasValue());
    EXPECT_EQ(bad.Error().code, ViewErrc::kAddress);
    EXPECT_NE(bad.Error().message.find("not-an-address"), std::string::npos);

    auto first = StartServer();
    ASSERT_TRUE(first);
    options.address = "127.0.0.1";
    options.port = first->Port();
    auto taken = ViewServer::Start(options);
    ASSERT_FALSE(taken.HasValue());
    EXPECT_EQ(taken.Error().code, ViewErrc::kListen);
    EXPECT_NE(taken.Error().message.find("127.0.0.1:" + std::to_string(first->Port())), std::string::npos)
        << taken.Error().message;
}

}  // namespace
}  // namespace camera_view
