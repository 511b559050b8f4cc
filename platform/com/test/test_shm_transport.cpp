// Process-level tests of the shared-memory transport. They start their own RouDi with a private mempool
// configuration and run the publisher and subscriber as separate processes (shm_peer). This process never
// connects to RouDi itself: its first test checks the failure without one.
#include <gtest/gtest.h>

#include <signal.h>

#include <optional>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "camera_test/gtest_support.h"
#include "com_test_support.h"
#include "impl_type_camerah265image.h"
#include "peer_processes.h"
#include "roudi_probe.h"
#include "vrt/cm/event_subscriber.h"

namespace {

using camera_test::ReadText;
using camera_test::WaitForText;
using vrt::cm::test::RunSubscriberThenPublisher;
using vrt::cm::test::ScopedManifest;

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

// How long the tests without RouDi let a process wait for one.
constexpr const char kShortRouDiWait[] = "0.3";

TEST(ShmWithoutRouDiTest, EventInitializationFailsAfterTheWaitLimitWithAClearMessage) {
    if (camera_test::RouDiIsRunning()) {
        FAIL() << "a RouDi is running on this machine, so the case without one cannot be tried: stop it "
                  "(make run, the demo) or run the test with a private /tmp (unshare -m)";
    }
    ara::log::LogCapture capture;
    camera_test::ScopedEnvironment wait("VRT_CM_ROUDI_WAIT_S", kShortRouDiWait);
    ScopedManifest manifest(ShmManifest());
    ara::com::internal::skeleton::SkeletonAdapter skeleton(
        vrt::cm::type::ServiceIdentifierType("/s/Visualization"), ara::core::InstanceSpecifier("t/p"),
        vrt::cm::type::MethodCallProcessingMode::kEvent);
    ara::com::internal::skeleton::event::EventAdapter<CameraH265Image> sut(
        skeleton.GetSkeleton(), kEvent, vrt::cm::type::ServiceIdentifierType("/s/Visualization"),
        ara::core::InstanceSpecifier("t/p"));

    const auto start = std::chrono::steady_clock::now();
    const auto result = sut.Initialize();

    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(2));
    ASSERT_FALSE(result.HasValue());
    EXPECT_EQ(result.Error().Value(), 3);
    EXPECT_EQ(capture.Count(
                  "CM", ara::log::LogLevel::kError,
                  "[EventAdapterBase][Shared-memory transport unavailable][shortName=CameraH265ImageEvent] "
                  "no RouDi is running (/tmp/"),
              1U);
    EXPECT_EQ(capture.Count("CM", ara::log::LogLevel::kError,
                            "after waiting 0.300 s (VRT_CM_ROUDI_WAIT_S); start iox-roudi"),
              1U);
}

// A subscriber's failure says by its code whether RouDi is missing or the deployment cannot be used, so that
// a tool can tell its user which one to fix; the message names the cause.
TEST(ShmWithoutRouDiTest, SubscribersTellAMissingRouDiFromAnUnusableDeployment) {
    using vrt::cm::TransportErrorCode;
    using Subscriber = vrt::cm::EventSubscriber<CameraH265Image>;
    camera_test::ScopedEnvironment wait("VRT_CM_ROUDI_WAIT_S", kShortRouDiWait);
    ScopedManifest manifest(ShmManifest());
    Subscriber::Options options;

    auto noRouDi = Subscriber::Create(kEvent, options, manifest.Path());
    ASSERT_FALSE(noRouDi.HasValue());
    EXPECT_EQ(noRouDi.Error().code, TransportErrorCode::kRouDiUnavailable) << noRouDi.Error().message;
    EXPECT_EQ(noRouDi.Error().message.rfind("no RouDi is running (", 0), 0U) << noRouDi.Error().message;

    auto unknown = Subscriber::Create(kEvent + 1, options, manifest.Path());
    ASSERT_FALSE(unknown.HasValue());
    EXPECT_EQ(unknown.Error().code, TransportErrorCode::kBadConfiguration) << unknown.Error().message;
    EXPECT_NE(unknown.Error().message.find("/events/35046: missing"), std::string::npos)
        << unknown.Error().message;

    options.transport = vrt::cm::type::DriverType::PROLOC;
    auto local = Subscriber::Create(kEvent, options, manifest.Path());
    ASSERT_FALSE(local.HasValue());
    EXPECT_EQ(local.Error().code, TransportErrorCode::kBadConfiguration) << local.Error().message;
    EXPECT_EQ(local.Error().message, "transport PROLOC cannot be subscribed to from another process");
}

class ShmTransportTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        manifest_.emplace(ShmManifest());
        auto started =
            vrt::cm::test::StartRouDi(*manifest_, IOX_ROUDI, {{1024, 64}, {65536, 300}, {262144, 300}});
        roudiError_ = started ? "" : started.Error().message;
        roudi_ = started ? std::move(started).Value() : camera_test::RouDiProcess();
    }
    static void TearDownTestSuite() {
        roudi_.Stop();
        manifest_.reset();
    }
    void SetUp() override {
        if (!roudiError_.empty()) {
            FAIL() << "no RouDi of our own: " << roudiError_;
        }
    }

    std::string Output(const char* name) const { return manifest_->Directory() + "/" + name; }

    static std::optional<ScopedManifest> manifest_;
    static camera_test::RouDiProcess roudi_;
    static std::string roudiError_;
};

std::optional<ScopedManifest> ShmTransportTest::manifest_;
camera_test::RouDiProcess ShmTransportTest::roudi_;
std::string ShmTransportTest::roudiError_;

TEST_F(ShmTransportTest, SubscriberReceivesEveryEventDecodedIdenticalAndInOrder) {
    const std::string count = "1000";
    const std::string seed = "11";
    const std::string maxSize = "200000";
    ASSERT_NO_FATAL_FAILURE(RunSubscriberThenPublisher(
        {SHM_PEER, "subscribe", std::to_string(kEvent), count, seed, maxSize, "256", "0", "50000"},
        Output("sub.txt"), {SHM_PEER, "publish", std::to_string(kEvent), count, seed, maxSize, "100"},
        Output("pub.txt"), kRunTimeout));
    EXPECT_NE(ReadText(Output("sub.txt")).find("received 1000 missed 0 first 0 last 999 mismatches 0"),
              std::string::npos)
        << ReadText(Output("sub.txt"));
}

TEST_F(ShmTransportTest, SlowSubscriberLosesTheOldestAndNeverBlocksTheSender) {
    ASSERT_NO_FATAL_FAILURE(RunSubscriberThenPublisher(
        {SHM_PEER, "subscribe", std::to_string(kEvent), "300", "5", "20000", "4", "20", "50000"},
        Output("slow.txt"), {SHM_PEER, "publish", std::to_string(kEvent), "300", "5", "20000", "0"},
        Output("fast.txt"), kRunTimeout));

    const std::string report = ReadText(Output("slow.txt"));
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
    const std::string sender = ReadText(Output("fast.txt"));
    ASSERT_NE(sender.find("sent "), std::string::npos) << sender;
    ASSERT_EQ(std::sscanf(sender.c_str() + sender.find("sent "), "sent %u in %u us", &sent, &totalUs), 2);
    EXPECT_LT(totalUs, 1000000U);
}

// The fields and the block's bytes cross the process boundary, each record's own (lengths and contents
// differ from record to record): the subscriber gets them in blocks of its own pool, and the publisher frees
// every block once, so that its pool (fewer blocks than records) lasts the whole run.
TEST_F(ShmTransportTest, PerceptionRecordsTravelWithTheirBlocksBytesAndTheBlocksAreFreedOnce) {
    ASSERT_NO_FATAL_FAILURE(RunSubscriberThenPublisher(
        {SHM_PEER, "subscribe-perception", std::to_string(kPerceptionEvent), "200", "30000"},
        Output("perception_sub.txt"),
        {SHM_PEER, "publish-perception", std::to_string(kPerceptionEvent), "200", "4"},
        Output("perception_pub.txt"), kRunTimeout));
    EXPECT_NE(ReadText(Output("perception_sub.txt")).find("received 200 mismatches 0 block mismatches 0"),
              std::string::npos)
        << ReadText(Output("perception_sub.txt"));
    EXPECT_NE(ReadText(Output("perception_pub.txt")).find("blocks freed"), std::string::npos)
        << ReadText(Output("perception_pub.txt"));
}

TEST_F(ShmTransportTest, PayloadOverTheLargestMempoolIsRefusedWithoutAbort) {
    ASSERT_NO_FATAL_FAILURE(RunSubscriberThenPublisher(
        {SHM_PEER, "subscribe", std::to_string(kEvent), "1", "1", "100", "8", "0", "20000"},
        Output("small.txt"), {SHM_PEER, "oversize", std::to_string(kEvent)}, Output("huge.txt"),
        kRunTimeout));
    const std::string log = ReadText(Output("huge.txt"));
    EXPECT_NE(log.find("[ShmEventPublisher][Payload larger than the largest mempool, sample dropped]"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("still running"), std::string::npos);
    EXPECT_NE(ReadText(Output("small.txt")).find("received 1 missed 0 first 0 last 0 mismatches 0"),
              std::string::npos);
}

// RouDi killed and at once restarted (on a /tmp on disk the new socket often gets the ended one's inode, so
// the socket alone cannot tell the two RouDis apart), and a process that RouDi dropped.
class ShmRouDiFaultTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartRouDi()); }

    void StartRouDi() {
        auto started = vrt::cm::test::StartRouDi(manifest_, IOX_ROUDI, {{1024, 64}, {65536, 16}});
        ASSERT_TRUE(started) << "no RouDi of our own: " << started.Error().message;
        roudi_ = std::move(started).Value();
    }

    // A crash and an immediate restart, as a supervisor does it.
    void KillAndRestartRouDi() {
        roudi_.Signal(SIGKILL);
        roudi_.Stop();  // reaps it: its lock is free once it is gone
        ASSERT_NO_FATAL_FAILURE(StartRouDi());
    }

    std::string Output(const std::string& name) const { return manifest_.Directory() + "/" + name; }

    ScopedManifest manifest_{ShmManifest()};
    camera_test::RouDiProcess roudi_;
};

TEST_F(ShmRouDiFaultTest, IdentityIsTheLockHoldersAndChangesWithEveryRestart) {
    int sameInode = 0;
    for (int round = 0; round < 4; ++round) {
        const auto before = vrt::cm::shm::CurrentRouDiIdentity();
        ASSERT_TRUE(before.has_value());
        EXPECT_EQ(before->pid, roudi_.Pid());
        EXPECT_NE(before->startTicks, 0U);
        ASSERT_NO_FATAL_FAILURE(KillAndRestartRouDi());
        const auto after = vrt::cm::shm::CurrentRouDiIdentity();
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(after->pid, roudi_.Pid());
        EXPECT_NE(*after, *before);
        // What tells them apart holds also when the socket is the same file as far as stat can see.
        auto sameSocket = *after;
        sameSocket.socketDevice = before->socketDevice;
        sameSocket.socketInode = before->socketInode;
        EXPECT_NE(sameSocket, *before);
        sameInode += before->socketInode == after->socketInode ? 1 : 0;
    }
    RecordProperty("restarts_on_the_same_socket_inode", sameInode);
}

TEST_F(ShmRouDiFaultTest, KillAndImmediateRestartIsSeenAsALossEveryTime) {
    for (int round = 0; round < 3; ++round) {
        const std::string output = Output("watch" + std::to_string(round) + ".txt");
        camera_test::ChildProcess watcher =
            camera_test::StartChild({SHM_PEER, "watch", std::to_string(kEvent), "20000"}, output);
        ASSERT_TRUE(WaitForText(output, "ready", std::chrono::seconds(10))) << ReadText(output);
        ASSERT_NO_FATAL_FAILURE(KillAndRestartRouDi());
        EXPECT_EQ(watcher.Wait(std::chrono::seconds(5)), 1) << "round " << round << ": " << ReadText(output);
        EXPECT_NE(ReadText(output).find("[Transport][Lost, samples sent from now on reach no subscriber] "
                                        "[ShmRuntime] RouDi "),
                  std::string::npos)
            << ReadText(output);
    }
}

// Paused longer than RouDi's keep-alive time-out, a process is dropped by RouDi with its ports: on resume it
// reports the loss and ends with status 1, instead of being aborted by iceoryx when it next touches a port.
TEST_F(ShmRouDiFaultTest, ProcessPausedPastTheKeepAliveEndsWithALossNotAnAbort) {
    const std::string output = Output("paused.txt");
    camera_test::ChildProcess watcher =
        camera_test::StartChild({SHM_PEER, "watch", std::to_string(kEvent), "30000"}, output);
    ASSERT_TRUE(WaitForText(output, "ready", std::chrono::seconds(10))) << ReadText(output);
    watcher.Signal(SIGSTOP);
    // Paused until RouDi has dropped it (after 1.5 s without a keep-alive); resumed whatever happened.
    EXPECT_TRUE(
        WaitForText(Output("roudi.log"), "milliseconds ago) --> removing it", std::chrono::seconds(30)))
        << ReadText(Output("roudi.log"));
    watcher.Signal(SIGCONT);
    EXPECT_EQ(watcher.Wait(std::chrono::seconds(5)), 1) << ReadText(output);
    EXPECT_NE(ReadText(output).find("[error] [Transport][Lost, samples sent from now on reach no subscriber] "
                                    "[ShmRuntime] RouDi has dropped this process"),
              std::string::npos)
        << ReadText(output);
}

// The errors iceoryx raises on ports RouDi destroyed are the loss of the transport: reported once, and the
// process goes on to its orderly end with status 1.
TEST_F(ShmRouDiFaultTest, ErrorsOfADestroyedPortAreALossNotAnAbort) {
    const std::string output = Output("port_gone.txt");
    camera_test::ChildProcess peer =
        camera_test::StartChild({SHM_PEER, "port-gone", std::to_string(kEvent), "10000"}, output);
    EXPECT_EQ(peer.Wait(std::chrono::seconds(20)), 1) << ReadText(output);
    const std::string text = ReadText(output);
    EXPECT_NE(text.find("still running"), std::string::npos) << text;
    EXPECT_NE(text.find("RouDi has dropped this process: its ports are gone (iceoryx: "
                        "POPO__CHUNK_LOCKING_ERROR)"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("ICEORYX error"), std::string::npos) << text;
}

}  // namespace
