// Process-level tests of the shared-memory transport. They start their own RouDi with a private mempool
// configuration and run the publisher and subscriber as separate processes (shm_peer). This process never
// connects to RouDi itself: its first test checks the failure without one.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "com_test_support.h"
#include "impl_type_camerah265image.h"
#include "roudi_process.h"

namespace {

using vrt::cm::test::ChildProcess;
using vrt::cm::test::ReadFile;
using vrt::cm::test::RouDiProcess;
using vrt::cm::test::ScopedManifest;
using vrt::cm::test::WaitForText;

constexpr std::uint32_t kEvent = 35045;
constexpr std::uint32_t kPerceptionEvent = 30182;
constexpr std::chrono::seconds kRunTimeout{60};

std::string ShmManifest() {
    const std::string transports = std::string(R"({"SHM": {"serialization": )") +
                                   vrt::cm::test::kShmSerialization + R"(}, "PROLOC": {"serialization": )" +
                                   vrt::cm::test::kShmSerialization + "}}";
    return vrt::cm::test::Manifest(
        vrt::cm::test::EventEntry(kEvent, "CameraH265ImageEvent", transports) + ", " +
        vrt::cm::test::EventEntry(kPerceptionEvent, "Cam2CamPerceptionEvent1", transports, 4098));
}

using vrt::cm::test::ReadFile;
using vrt::cm::test::WaitForText;

TEST(ShmWithoutRouDi, EventInitializationFailsAtOnceWithAClearMessage) {
    if (vrt::cm::test::RouDiIsRunning()) {
        FAIL() << "a RouDi is running on this machine, so the case without one cannot be tried: stop it "
                  "(make run, the demo) or run the test with a private /tmp (unshare -m)";
    }
    ara::log::LogCapture capture;
    ScopedManifest manifest(ShmManifest());
    ara::com::internal::skeleton::SkeletonAdapter skeleton(
        vrt::cm::type::ServiceIdentifierType("/s/Visualization"), ara::core::InstanceSpecifier("t/p"),
        vrt::cm::type::MethodCallProcessingMode::kEvent);
    ara::com::internal::skeleton::event::EventAdapter<CameraH265Image> sut(
        skeleton.GetSkeleton(), kEvent, vrt::cm::type::ServiceIdentifierType("/s/Visualization"),
        ara::core::InstanceSpecifier("t/p"));

    const auto start = std::chrono::steady_clock::now();
    const auto result = sut.Initialize();

    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    ASSERT_FALSE(result.HasValue());
    EXPECT_EQ(result.Error().Value(), 3);
    EXPECT_EQ(capture.Count(
                  "CM", ara::log::LogLevel::kError,
                  "[EventAdapterBase][Shared-memory transport unavailable][shortName=CameraH265ImageEvent] "
                  "no RouDi is running"),
              1U);
}

class ShmTransport : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        manifest_ = new ScopedManifest(ShmManifest());
        std::ofstream(manifest_->Directory() + "/roudi.toml") << R"([general]
version = 1
[[segment]]
[[segment.mempool]]
size = 1024
count = 64
[[segment.mempool]]
size = 65536
count = 300
[[segment.mempool]]
size = 262144
count = 300
)";
        roudi_ = new RouDiProcess(IOX_ROUDI, manifest_->Directory() + "/roudi.toml");
    }
    static void TearDownTestSuite() {
        delete roudi_;
        delete manifest_;
    }
    void SetUp() override {
        if (!roudi_->Error().empty()) {
            FAIL() << "no RouDi of our own: " << roudi_->Error();
        }
    }

    std::string Output(const char* name) const { return manifest_->Directory() + "/" + name; }

    static ScopedManifest* manifest_;
    static RouDiProcess* roudi_;
};

ScopedManifest* ShmTransport::manifest_ = nullptr;
RouDiProcess* ShmTransport::roudi_ = nullptr;

TEST_F(ShmTransport, SubscriberReceivesEveryEventDecodedIdenticalAndInOrder) {
    const std::string count = "1000";
    const std::string seed = "11";
    const std::string maxSize = "200000";
    ChildProcess subscriber(
        {SHM_PEER, "subscribe", std::to_string(kEvent), count, seed, maxSize, "256", "0", "50000"},
        Output("sub.txt"));
    ASSERT_TRUE(WaitForText(Output("sub.txt"), "ready", std::chrono::seconds(10)))
        << ReadFile(Output("sub.txt"));
    ChildProcess publisher({SHM_PEER, "publish", std::to_string(kEvent), count, seed, maxSize, "100"},
                           Output("pub.txt"));

    EXPECT_EQ(subscriber.Wait(kRunTimeout), 0) << ReadFile(Output("sub.txt"));
    EXPECT_EQ(publisher.Wait(kRunTimeout), 0) << ReadFile(Output("pub.txt"));
    EXPECT_NE(ReadFile(Output("sub.txt")).find("received 1000 missed 0 first 0 last 999 mismatches 0"),
              std::string::npos)
        << ReadFile(Output("sub.txt"));
}

TEST_F(ShmTransport, SlowSubscriberLosesTheOldestAndNeverBlocksTheSender) {
    ChildProcess subscriber(
        {SHM_PEER, "subscribe", std::to_string(kEvent), "300", "5", "20000", "4", "20", "50000"},
        Output("slow.txt"));
    ASSERT_TRUE(WaitForText(Output("slow.txt"), "ready", std::chrono::seconds(10)));
    ChildProcess publisher({SHM_PEER, "publish", std::to_string(kEvent), "300", "5", "20000", "0"},
                           Output("fast.txt"));

    ASSERT_EQ(subscriber.Wait(kRunTimeout), 0) << ReadFile(Output("slow.txt"));
    ASSERT_EQ(publisher.Wait(kRunTimeout), 0) << ReadFile(Output("fast.txt"));

    const std::string report = ReadFile(Output("slow.txt"));
    const std::size_t line = report.find("received ");
    ASSERT_NE(line, std::string::npos) << report;
    unsigned received = 0;
    unsigned missed = 0;
    unsigned first = 0;
    ASSERT_EQ(
        std::sscanf(report.c_str() + line, "received %u missed %u first %u", &received, &missed, &first), 3);
    EXPECT_LT(received, 300U);
    EXPECT_GT(missed, 0U);
    EXPECT_EQ(first + received + missed, 300U) << "every sample is received or counted as missed";
    // 300 sends against a subscriber that takes 20 ms per sample: waiting for it would need 6 s.
    unsigned sent = 0;
    unsigned totalUs = 0;
    const std::string sender = ReadFile(Output("fast.txt"));
    ASSERT_NE(sender.find("sent "), std::string::npos) << sender;
    ASSERT_EQ(std::sscanf(sender.c_str() + sender.find("sent "), "sent %u in %u us", &sent, &totalUs), 2);
    EXPECT_LT(totalUs, 1000000U);
}

// The fields and the block's bytes cross the process boundary, each record's own (lengths and contents
// differ from record to record): the subscriber gets them in blocks of its own pool, and the publisher frees
// every block once, so that its pool (fewer blocks than records) lasts the whole run.
TEST_F(ShmTransport, PerceptionRecordsTravelWithTheirBlocksBytesAndTheBlocksAreFreedOnce) {
    ChildProcess subscriber(
        {SHM_PEER, "subscribe-perception", std::to_string(kPerceptionEvent), "200", "30000"},
        Output("perception_sub.txt"));
    ASSERT_TRUE(WaitForText(Output("perception_sub.txt"), "ready", std::chrono::seconds(10)))
        << ReadFile(Output("perception_sub.txt"));
    ChildProcess publisher({SHM_PEER, "publish-perception", std::to_string(kPerceptionEvent), "200", "4"},
                           Output("perception_pub.txt"));

    EXPECT_EQ(subscriber.Wait(kRunTimeout), 0) << ReadFile(Output("perception_sub.txt"));
    EXPECT_EQ(publisher.Wait(kRunTimeout), 0) << ReadFile(Output("perception_pub.txt"));
    EXPECT_NE(ReadFile(Output("perception_sub.txt")).find("received 200 mismatches 0 block mismatches 0"),
              std::string::npos)
        << ReadFile(Output("perception_sub.txt"));
    EXPECT_NE(ReadFile(Output("perception_pub.txt")).find("blocks freed"), std::string::npos)
        << ReadFile(Output("perception_pub.txt"));
}

TEST_F(ShmTransport, PayloadOverTheLargestMempoolIsRefusedWithoutAbort) {
    ChildProcess subscriber(
        {SHM_PEER, "subscribe", std::to_string(kEvent), "1", "1", "100", "8", "0", "20000"},
        Output("small.txt"));
    ASSERT_TRUE(WaitForText(Output("small.txt"), "ready", std::chrono::seconds(10)));
    ChildProcess publisher({SHM_PEER, "oversize", std::to_string(kEvent)}, Output("huge.txt"));

    EXPECT_EQ(subscriber.Wait(kRunTimeout), 0) << ReadFile(Output("small.txt"));
    EXPECT_EQ(publisher.Wait(kRunTimeout), 0) << ReadFile(Output("huge.txt"));
    const std::string log = ReadFile(Output("huge.txt"));
    EXPECT_NE(log.find("[ShmEventPublisher][Payload larger than the largest mempool, sample dropped]"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("still running"), std::string::npos);
    EXPECT_NE(ReadFile(Output("small.txt")).find("received 1 missed 0 first 0 last 0 mismatches 0"),
              std::string::npos);
}

}  // namespace
