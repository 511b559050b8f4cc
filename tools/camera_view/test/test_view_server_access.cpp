// Whom the server answers and how much it takes on: foreign pages and host names are refused, viewers and
// connections are capped exactly under a burst, and running out of descriptors does not make it spin.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "view_client.h"
#include "view_server.h"

namespace camera_view {
namespace {

using namespace std::chrono_literals;
using namespace test;

std::string At(const std::string& name, std::uint16_t port) {
    return name + ":" + std::to_string(port);
}

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST(ViewServerAccessTest, AViewerFromAnotherSitesPageIsRefusedAndOneFromItsOwnPageIsServed) {
    auto sut = StartServer();
    ASSERT_TRUE(sut);
    const std::uint16_t port = sut->Port();
    const std::string host = At("127.0.0.1", port);
    EXPECT_EQ(RawStatus(port, UpgradeRequest(host, "https://evil.example")), 403U);
    EXPECT_EQ(RawStatus(port, UpgradeRequest(host, "http://127.0.0.1:" + std::to_string(port + 1))), 403U);
    EXPECT_EQ(RawStatus(port, UpgradeRequest(host, "null")), 403U);
    EXPECT_EQ(sut->Counters().refusedOrigins, 3U);
    EXPECT_EQ(sut->Counters().viewers, 0U);

    EXPECT_EQ(RawStatus(port, UpgradeRequest(host, "http://" + host)), 101U);
    EXPECT_EQ(RawStatus(port, UpgradeRequest(host, "http://" + At("localhost", port))), 101U);
    EXPECT_EQ(RawStatus(port, UpgradeRequest(host, "")), 101U);  // a tool, no browser: no Origin
    EXPECT_EQ(sut->Counters().refusedOrigins, 3U);
}

TEST(ViewServerAccessTest, RequestsForAnotherHostNameAreRefusedPagesAndViewersAlike) {
    ServerOptions options;
    options.allowedHosts = {"camera-pc"};
    auto sut = StartServer(options);
    ASSERT_TRUE(sut);
    const std::uint16_t port = sut->Port();
    // A page of evil.example that rebound its name to 127.0.0.1 sends its own name, with its own origin.
    const std::string rebound = At("evil.example", port);
    EXPECT_EQ(Request(port, http::verb::get, "/", rebound).result(), http::status::forbidden);
    EXPECT_EQ(Request(port, http::verb::get, "/view.js", rebound).result(), http::status::forbidden);
    EXPECT_EQ(RawStatus(port, UpgradeRequest(rebound, "http://" + rebound)), 403U);
    EXPECT_EQ(RawStatus(port, UpgradeRequest(rebound, "")), 403U);
    EXPECT_EQ(Request(port, http::verb::get, "/", At("localhost", port + 1)).result(),
              http::status::forbidden);
    EXPECT_EQ(RawStatus(port, "GET / HTTP/1.1\r\n\r\n"), 403U);  // no Host at all
    EXPECT_EQ(sut->Counters().refusedHosts, 6U);

    for (const std::string name : {"localhost", "127.0.0.1", "[::1]", "camera-pc", "CAMERA-PC"}) {
        EXPECT_EQ(Request(port, http::verb::get, "/", At(name, port)).result(), http::status::ok) << name;
        EXPECT_EQ(RawStatus(port, UpgradeRequest(At(name, port), "http://" + At(name, port))), 101U) << name;
    }
    EXPECT_EQ(sut->Counters().refusedHosts, 6U);
    // The icon a browser asks for on every load has an answer.
    EXPECT_EQ(Request(port, http::verb::get, "/favicon.ico").result(), http::status::no_content);
}

TEST(ViewServerAccessTest, ABurstOfUpgradesGetsExactlyAsManyViewersAsTheCap) {
    ServerOptions options;
    options.maxViewers = 32;
    options.maxConnections = 100;
    auto sut = StartServer(options);
    ASSERT_TRUE(sut);
    const std::uint16_t port = sut->Port();
    const std::string upgrade = UpgradeRequest(At("127.0.0.1", port), "http://" + At("127.0.0.1", port));
    // Several bursts, each ending with viewers that leave and give their places back.
    for (int burst = 0; burst < 3; ++burst) {
        net::io_context io;
        std::vector<tcp::socket> sockets;
        for (int i = 0; i < 60; ++i) {
            sockets.push_back(Connect(io, port));
        }
        // Every request but its last two bytes first, then the rest: they complete as close together as the
        // server can see, and every answer is read after that.
        for (tcp::socket& socket : sockets) {
            net::write(socket, net::buffer(upgrade.data(), upgrade.size() - 2));
        }
        for (tcp::socket& socket : sockets) {
            net::write(socket, net::buffer(upgrade.data() + upgrade.size() - 2, 2));
        }
        int upgraded = 0;
        int refused = 0;
        for (tcp::socket& socket : sockets) {
            const unsigned status = RawStatus(socket, "");
            upgraded += status == 101U ? 1 : 0;
            refused += status == 503U ? 1 : 0;
        }
        EXPECT_EQ(upgraded, 32) << "burst " << burst;
        EXPECT_EQ(refused, 28) << "burst " << burst;
        EXPECT_EQ(sut->Counters().viewers, 32U) << "burst " << burst;
        sockets.clear();
        ASSERT_TRUE(WaitFor([&] { return sut->Counters().viewers == 0 && sut->Counters().connections == 0; }))
            << "burst " << burst;
    }
    EXPECT_EQ(sut->Counters().refusedViewers, 3U * 28U);
}

TEST(ViewServerAccessTest, ConnectionsBeyondTheCapAreRefusedAndTheOthersServed) {
    ServerOptions options;
    options.maxConnections = 16;
    auto sut = StartServer(options);
    ASSERT_TRUE(sut);
    const std::uint16_t port = sut->Port();
    net::io_context io;
    std::vector<tcp::socket> sockets;
    for (int i = 0; i < 40; ++i) {
        sockets.push_back(Connect(io, port));
    }
    // Page requests that keep their connection open.
    const std::string get = "GET / HTTP/1.1\r\nHost: " + At("127.0.0.1", port) + "\r\n\r\n";
    int served = 0;
    int refused = 0;
    for (tcp::socket& socket : sockets) {
        const unsigned status = RawStatus(socket, get);
        served += status == 200U ? 1 : 0;
        refused += status != 200U ? 1 : 0;  // 503, or reset before it was read
    }
    EXPECT_EQ(served, 16);
    EXPECT_EQ(refused, 24);
    EXPECT_EQ(sut->Counters().connections, 16U);
    EXPECT_EQ(sut->Counters().refusedConnections, 24U);
    // A refusal says why, to whoever is there to read it.
    EXPECT_EQ(RawStatus(port, get), 503U);

    sockets.clear();
    EXPECT_TRUE(WaitFor([&] { return sut->Counters().connections == 0; }));
    EXPECT_EQ(Request(port, http::verb::get, "/").result(), http::status::ok);
}

// Out of descriptors, a connection waits in the backlog and every accept fails at once: the server must not
// retry in a loop, and must serve that connection once descriptors are free again.
TEST(ViewServerAccessTest, RunningOutOfDescriptorsDoesNotSpinAndServingResumes) {
    ServerOptions options;
    options.acceptPause = 100ms;
    auto sut = StartServer(options);
    ASSERT_TRUE(sut);
    net::io_context io;
    tcp::socket waiting = OpenSocket(io);

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);  // no new descriptor for anyone in this process
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    beast::error_code connected;
    waiting.connect(Loopback(sut->Port()), connected);
    const bool failed = WaitFor([&] { return sut->Counters().failedAccepts > 0; });
    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(1500ms);  // the time over which the CPU is measured
    const double cpuSpent = ProcessCpuSeconds() - cpuBefore;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    ASSERT_FALSE(connected) << connected.message();
    ASSERT_TRUE(failed);
    EXPECT_LT(cpuSpent, 0.2) << sut->Counters().failedAccepts << " failed accepts";
    EXPECT_EQ(RawStatus(waiting, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), 200U);
}

}  // namespace
}  // namespace camera_view
