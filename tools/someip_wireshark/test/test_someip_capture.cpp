// tshark reads a capture of a running publisher and subscriber, on a veth pair between two network
// namespaces, with the configuration someip_wireshark writes from the deployment: discovery shows every
// step (find, offer, also to the multicast group, subscribe, ack, stop subscribe, stop offer), every event
// is reassembled from its TP
// segments and decoded field by field, and nothing is flagged malformed or worse than a note.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "camera_test/eventually.h"
#include "camera_test/gtest_support.h"
#include "com_test_support.h"
#include "network_namespaces.h"

namespace {

using camera_test::CountOccurrences;
using camera_test::Eventually;
using camera_test::ReadText;
using camera_test::StartChild;
using camera_test::WaitForText;
using vrt::cm::test::NetworkNamespaces;
using vrt::cm::test::ScopedManifest;

constexpr std::uint32_t kEvent = 35045;
constexpr int kEvents = 40;
constexpr std::uintmax_t kPcapHeaderSize = 24;

TEST(SomeipCaptureTest, TsharkDecodesTheRunningSystemWithTheGeneratedConfiguration) {
    ASSERT_EQ(std::system("command -v tshark >/dev/null 2>&1"), 0)
        << "tshark is not installed; scripts/install-deps.sh installs it";
    NetworkNamespaces namespaces(IP_BINARY);
    // The test makes its own namespaces; without them it cannot say anything, so it fails with the reason.
    ASSERT_TRUE(namespaces.Ok()) << "network namespaces cannot be created here (needs root and `ip netns`); "
                                    "the capture test did not run";
    const std::uint16_t port = static_cast<std::uint16_t>(30000 + ::getpid() % 1000 * 2);
    // Offers also go to a multicast group, which the subscriber joins.
    const std::string group = "239.255.77." + std::to_string(1 + ::getpid() % 250);
    ScopedManifest manifest(vrt::cm::test::SomeipManifest(kEvent, port, static_cast<std::uint16_t>(port + 1),
                                                          namespaces.AddressA(), namespaces.AddressB(),
                                                          R"(, "sdMulticast": ")" + group + "\""));
    const std::string& dir = manifest.Directory();
    ASSERT_EQ(std::system((std::string(SOMEIP_WIRESHARK) + " --manifest " + manifest.Path() + " --out " +
                           dir + "/wireshark > " + dir + "/tool.txt 2>&1")
                              .c_str()),
              0)
        << ReadText(dir + "/tool.txt");

    auto capture =
        StartChild(namespaces.In(namespaces.B(), {TSHARK, "-n", "-i", namespaces.InterfaceB(), "-f", "udp",
                                                  "-w", dir + "/capture.pcap", "-F", "pcap"}),
                   dir + "/capture.txt");
    ASSERT_TRUE(WaitForText(dir + "/capture.txt", "Capturing on", std::chrono::seconds(20)))
        << ReadText(dir + "/capture.txt");
    // It says so a moment before it captures: probe datagrams (to the discard port) until one is in the file.
    const std::string read = "XDG_CONFIG_HOME='" + dir + "' tshark -n -r '" + dir + "/capture.pcap'";
    const auto captured = [&read](const std::string& what) {
        return std::system((read + " 2>/dev/null | grep -qF '" + what + "'").c_str()) == 0;
    };
    ASSERT_TRUE(Eventually(
        [&] {
            StartChild(namespaces.In(namespaces.A(),
                                     {"bash", "-c", "echo probe > /dev/udp/" + namespaces.AddressB() + "/9"}))
                .Wait(std::chrono::seconds(5));
            std::error_code error;
            return std::filesystem::file_size(dir + "/capture.pcap", error) > kPcapHeaderSize && !error;
        },
        std::chrono::seconds(20), std::chrono::milliseconds(200)))
        << ReadText(dir + "/capture.txt");
    ::setenv("PEER_TRANSPORT", "SOMEIP", 1);
    auto subscriber = StartChild(
        namespaces.In(namespaces.B(), {SHM_PEER, "subscribe", std::to_string(kEvent), std::to_string(kEvents),
                                       "8", "60000", "256", "0", "30000"}),
        dir + "/sub.txt");
    ::unsetenv("PEER_TRANSPORT");
    ASSERT_TRUE(WaitForText(dir + "/sub.txt", "ready", std::chrono::seconds(10)))
        << ReadText(dir + "/sub.txt");
    // The subscriber searches every 100 ms until an offer comes: the publisher starts once the capture has
    // seen it search.
    ASSERT_TRUE(Eventually([&] { return captured("[Find]"); }, std::chrono::seconds(20),
                           std::chrono::milliseconds(200)));
    auto publisher =
        StartChild(namespaces.In(namespaces.A(), {SHM_PEER, "publish", std::to_string(kEvent),
                                                  std::to_string(kEvents), "8", "60000", "5000"}),
                   dir + "/pub.txt");
    ASSERT_EQ(subscriber.Wait(std::chrono::seconds(60)), 0) << ReadText(dir + "/sub.txt");
    ASSERT_EQ(publisher.Wait(std::chrono::seconds(60)), 0) << ReadText(dir + "/pub.txt");
    // The last StopOffer reaches the capture.
    EXPECT_TRUE(Eventually([&] { return captured("[StopOffer]"); }, std::chrono::seconds(20),
                           std::chrono::milliseconds(200)));
    capture.Stop();

    ASSERT_EQ(std::system((read + " > '" + dir + "/summary.txt' 2>&1").c_str()), 0);
    ASSERT_EQ(std::system((read + " -T pdml > '" + dir + "/capture.pdml' 2>/dev/null").c_str()), 0);
    ASSERT_EQ(std::system((read + " -Y '_ws.malformed || _ws.expert.severity >= 0x00600000' > '" + dir +
                           "/problems.txt' 2>/dev/null")
                              .c_str()),
              0);
    const std::string summary = ReadText(dir + "/summary.txt");
    const std::string pdml = ReadText(dir + "/capture.pdml");
    EXPECT_EQ(ReadText(dir + "/problems.txt"), "") << "tshark flags packets";
    for (const char* step :
         {"[Find]", "[Offer]", "[Subscribe]", "[SubscribeAck]", "[StopSubscribe]", "[StopOffer]"}) {
        EXPECT_NE(summary.find(step), std::string::npos) << step << " missing from\n" << summary;
    }
    EXPECT_NE(summary.find("Service ID: 0x1001 (TestService), Method ID: 0x88e5 (CameraH265ImageEvent)"),
              std::string::npos)
        << summary;
    EXPECT_TRUE(
        std::regex_search(summary, std::regex(namespaces.AddressA() + " \\S+ " + group + " .*\\[Offer\\]")))
        << "no offer to the multicast group " << group << " in\n"
        << summary;
    // Every event decoded from its reassembled payload, with the values the publisher put in.
    EXPECT_EQ(CountOccurrences(pdml, R"(name="someip.payload.typeCode" showname="typeCode [int32]: 20")"),
              static_cast<std::size_t>(kEvents));
    EXPECT_EQ(CountOccurrences(pdml, R"(showname="frameId [frameId]: )"), static_cast<std::size_t>(kEvents));
    EXPECT_GT(CountOccurrences(pdml, R"(name="someip.tp.reassembled.length")"), 0U);
    EXPECT_EQ(CountOccurrences(pdml, "someip.payload.unparsed"), 0U);
}

}  // namespace
