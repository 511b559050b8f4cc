#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "camera_test/files.h"
#include "camera_test/roudi_process.h"
#include "e2e_system.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;
using camera_test::ChildProcess;
using camera_test::ReadText;

// A RouDi of the test's own, which the test stops, kills and restarts; it cannot share a running one.
class RouDiFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startRouDi());
        dir_ = writeConfiguration(directory_.Path(), kGop);
    }
    void TearDown() override { roudi_.Signal(SIGCONT); }

    void startRouDi() {
        auto roudi =
            camera_test::RouDiProcess::Start(IOX_ROUDI_BINARY, PROJECT_CONFIG_DIR "/roudi.toml", roudiLog());
        ASSERT_TRUE(roudi) << roudi.Error().message;
        roudi_ = std::move(roudi).Value();
    }

    std::string roudiLog() const { return directory_.Path() + "/roudi.log"; }

    static constexpr std::uint32_t kGop = 10;
    camera_test::RouDiProcess roudi_;
    camera_test::TemporaryDirectory directory_ = testDirectory();
    std::string dir_;
};

// Started a moment before its RouDi (a supervisor starting both at once), the application waits for it and
// runs; without any RouDi it gives up after VRT_CM_ROUDI_WAIT_S with status 1, saying why, and SIGTERM ends
// the wait at once.
TEST_F(RouDiFaultsTest, ApplicationStartedBeforeRouDiWaitsForItWithinTheLimit) {
    roudi_.Stop();
    auto alone = startApplication(dir_, {{"VRT_CM_ROUDI_WAIT_S", "1"}});
    EXPECT_EQ(alone.Wait(15s), 1);
    const std::string aloneErr = ReadText(dir_ + "/app.err");
    EXPECT_NE(aloneErr.find("no RouDi is running (/tmp/"), std::string::npos) << aloneErr;
    EXPECT_NE(aloneErr.find("after waiting 1.000 s (VRT_CM_ROUDI_WAIT_S); start iox-roudi"),
              std::string::npos)
        << aloneErr;

    // SIGTERM ends the wait for the socket at once.
    auto stopped = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "start main!", 10s));
    const auto signalled = std::chrono::steady_clock::now();
    stopped.Signal(SIGTERM);
    EXPECT_EQ(stopped.Wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);

    auto app = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "start main!", 10s));
    // RouDi comes up once the application waits for it, as under a supervisor that starts both.
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "s (VRT_CM_ROUDI_WAIT_S) for RouDi's socket to appear]", 10s))
        << ReadText(dir_ + "/app.err");
    ASSERT_NO_FATAL_FAILURE(startRouDi());
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << ReadText(dir_ + "/app.err").substr(0, 4000);
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(10s), 0);
}

// A RouDi that does not answer (stopped): the wait has a limit, and SIGTERM ends the wait at once with a
// clean status 0.
TEST_F(RouDiFaultsTest, WaitForAStoppedRouDiHasALimitAndEndsOnSigterm) {
    roudi_.Signal(SIGSTOP);
    auto limited = startApplication(dir_, {{"VRT_CM_ROUDI_WAIT_S", "1.5"}});
    EXPECT_EQ(limited.Wait(15s), 1);
    std::string err = ReadText(dir_ + "/app.err");
    EXPECT_NE(err.find("RouDi did not answer within 1.500 s (VRT_CM_ROUDI_WAIT_S)"), std::string::npos)
        << err;

    auto waiting = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "RouDi has not answered the registration yet", 10s))
        << ReadText(dir_ + "/app.err");
    const auto start = std::chrono::steady_clock::now();
    waiting.Signal(SIGTERM);
    EXPECT_EQ(waiting.Wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    err = ReadText(dir_ + "/app.err");
    EXPECT_NE(err.find("the wait for RouDi was cancelled: the process is stopping"), std::string::npos)
        << err;
    EXPECT_NE(err.find("stopped during start-up"), std::string::npos) << err;
}

// A signal as early as it can be handled (as soon as the process blocks it, before logging or the
// configuration) ends the process cleanly with status 0.
TEST_F(RouDiFaultsTest, SignalInTheFirstMillisecondsEndsCleanly) {
    for (const int signal : {SIGTERM, SIGINT, SIGTERM}) {
        ChildProcess app =
            start({CAMERA_DRIVING_BINARY}, {{"CM_CONFIG_FILE_PATH", dir_}, {"ARA_LOG_MODE", "console"}},
                  dir_ + "/early.out", dir_ + "/early.err");
        const std::string status = "/proc/" + std::to_string(app.Pid()) + "/status";
        const auto blocked = [&status] {
            const std::string text = ReadText(status);
            const std::size_t at = text.find("SigBlk:");
            if (at == std::string::npos) {
                return false;
            }
            const unsigned long long mask = std::stoull(text.substr(at + 7), nullptr, 16);
            const unsigned long long wanted = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
            return (mask & wanted) == wanted;
        };
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!blocked() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        app.Signal(signal);
        EXPECT_EQ(app.Wait(10s), 0) << ReadText(dir_ + "/early.err");
    }
}

// RouDi killed and restarted under the running application: the loss is seen within about two seconds,
// reported at error level, and the process ends with status 1 so that its supervisor starts it again;
// started again, it streams to a recorder through the new RouDi.
TEST_F(RouDiFaultsTest, RouDiRestartEndsTheApplicationWithStatusOneAndARestartStreamsAgain) {
    auto app = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << ReadText(dir_ + "/app.err").substr(0, 4000);
    roudi_.Signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    roudi_.Stop();  // reaps it: its lock is free once it is gone
    ASSERT_NO_FATAL_FAILURE(startRouDi());
    EXPECT_EQ(app.Wait(10s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 3s);
    const std::string err = ReadText(dir_ + "/app.err");
    EXPECT_NE(
        err.find(
            "[error] [Transport][Lost, samples sent from now on reach no subscriber] [ShmRuntime] RouDi "),
        std::string::npos)
        << err.substr(err.size() > 4000 ? err.size() - 4000 : 0);
    EXPECT_NE(err.find("[fatal] communication lost"), std::string::npos);

    // What the supervisor does: start it again.
    auto recorder = runRecorder(dir_, {"--frames", "15", "--cameras", "8"});
    ASSERT_TRUE(waitForLog(dir_ + "/recorder.out", "waiting for the publisher", 20s));
    auto restarted = startApplication(dir_);
    EXPECT_EQ(recorder.Wait(60s), 0) << ReadText(dir_ + "/recorder.err");
    EXPECT_EQ(readIndex(dir_ + "/record/cam_8_index.csv").size(), 15U);
    restarted.Signal(SIGTERM);
    EXPECT_EQ(restarted.Wait(10s), 0);
}

// Paused longer than RouDi's keep-alive time-out, the application is dropped by RouDi with its ports. On
// resume it reports the loss, stops in order and ends with status 1 for a restart, instead of being aborted
// by iceoryx at its next send.
TEST_F(RouDiFaultsTest, PausedApplicationEndsWithStatusOneInsteadOfAnAbort) {
    auto app = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << ReadText(dir_ + "/app.err").substr(0, 4000);
    app.Signal(SIGSTOP);
    // Paused until RouDi has dropped it (after 1.5 s without a keep-alive); resumed whatever happened.
    EXPECT_TRUE(waitForLog(roudiLog(), "milliseconds ago) --> removing it", 30s)) << ReadText(roudiLog());
    app.Signal(SIGCONT);
    const auto resumed = std::chrono::steady_clock::now();
    EXPECT_EQ(app.Wait(10s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - resumed, 3s);
    const std::string err = ReadText(dir_ + "/app.err");
    const std::string tail = err.substr(err.size() > 4000 ? err.size() - 4000 : 0);
    EXPECT_NE(err.find("[error] [Transport][Lost, samples sent from now on reach no subscriber] [ShmRuntime] "
                       "RouDi has dropped this process"),
              std::string::npos)
        << tail;
    EXPECT_NE(err.find("[fatal] communication lost"), std::string::npos) << tail;
    EXPECT_NE(err.find("cameras stopped"), std::string::npos) << tail;
    EXPECT_EQ(err.find("ICEORYX error"), std::string::npos) << tail;
}

}  // namespace
