#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "camera_test/files.h"

namespace {

struct ProbeRun {
    int exitStatus;
    std::string out;
    std::vector<std::string> errLines;
    double seconds;
};

// A directory of the running test's own, so that tests may run in parallel.
std::string TestDirectory() {
    std::string pattern = ::testing::TempDir() + "/" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_XXXXXX";
    return ::mkdtemp(pattern.data()) == nullptr ? ::testing::TempDir() : pattern;
}

// Runs the probe process with `environment` prepended to its command line.
ProbeRun RunProbe(const std::string& environment, const std::string& arguments,
                  const std::string& dir = TestDirectory()) {
    const std::string out = dir + "/probe.out";
    const std::string err = dir + "/probe.err";
    const std::string command =
        "env " + environment + " " + LOG_EXIT_PROBE + " " + arguments + " >" + out + " 2>" + err;
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    ProbeRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, camera_test::ReadText(out), {}, seconds};
    std::istringstream lines(camera_test::ReadText(err));
    for (std::string line; std::getline(lines, line);) {
        run.errLines.push_back(line);
    }
    return run;
}

// "2026-12-06 09:11:07.123456 PROBE_APP PROBE_CTX [info] thread 1 message 7 ... (file.cpp:12 operator())"
const std::regex kConsoleLine(
    R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} PROBE_APP PROBE_CTX \[info\] thread \d message \d+ of a line long )"
    R"(enough to overlap with other threads if the output were not atomic \(log_exit_probe\.cpp:\d+ .+\)$)");

TEST(ConsoleLoggingTest, WritesOneWholeLinePerMessageToStandardError) {
    const ProbeRun run = RunProbe("ARA_LOG_MODE=", "console 4 300");
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(run.out.empty()) << "standard output is reserved: " << run.out.substr(0, 200);
    ASSERT_EQ(run.errLines.size(), 4U * 300U);
    for (const std::string& line : run.errLines) {
        ASSERT_TRUE(std::regex_match(line, kConsoleLine)) << line;
    }
}

TEST(ConsoleLoggingTest, EnvironmentLevelOverridesEveryContext) {
    const ProbeRun verbose = RunProbe("ARA_LOG_MODE= ARA_LOG_LEVEL=debug", "console 2 1");
    ASSERT_EQ(verbose.exitStatus, 0);
    EXPECT_EQ(verbose.errLines.size(), 4U);  // two info and two debug messages

    const ProbeRun quiet = RunProbe("ARA_LOG_MODE= ARA_LOG_LEVEL=error", "console 2 5");
    ASSERT_EQ(quiet.exitStatus, 0);
    EXPECT_TRUE(quiet.errLines.empty());

    const ProbeRun bad = RunProbe("ARA_LOG_MODE= ARA_LOG_LEVEL=loud", "console 1 1");
    ASSERT_EQ(bad.exitStatus, 0);
    ASSERT_EQ(bad.errLines.size(), 2U);
    EXPECT_NE(bad.errLines[0].find("ignoring ARA_LOG_LEVEL=\"loud\""), std::string::npos) << bad.errLines[0];
}

TEST(ConsoleLoggingTest, EnvironmentModeReplacesTheConfiguredMode) {
    const std::string dir = TestDirectory();
    const ProbeRun run = RunProbe("ARA_LOG_MODE=file", "console 1 3 " + dir, dir);
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(run.errLines.empty());
    const std::string file = camera_test::ReadText(dir + "/PROBE_APP.log");
    EXPECT_NE(file.find("thread 0 message 2"), std::string::npos);
}

// A long run in file mode keeps its log within bounds: the file is renamed at the limit, the count of
// earlier files is kept, and no line is lost or cut across the files, with four threads writing at once.
TEST(FileLoggingTest, RotatesAtTheSizeLimitKeepingWholeLines) {
    const std::string dir = TestDirectory();
    const ProbeRun run = RunProbe("ARA_LOG_MODE=file ARA_LOG_FILE_MAX_BYTES=20K ARA_LOG_FILE_KEEP=2",
                                  "console 4 300 " + dir, dir);
    ASSERT_EQ(run.exitStatus, 0);
    std::size_t lines = 0;
    for (const char* suffix : {"", ".1", ".2"}) {
        const std::string path = dir + "/PROBE_APP.log" + suffix;
        const std::string text = camera_test::ReadText(path);
        ASSERT_TRUE(!text.empty() || *suffix == '\0')
            << path << ": only the current file may just have started";
        // The other threads write on while one rotates, up to the limit again, plus the lines in flight.
        EXPECT_LT(text.size(), 2U * 20U * 1024U + 4U * 512U) << path;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            ASSERT_TRUE(std::regex_match(line, kConsoleLine)) << path << ": " << line;
            ++lines;
        }
    }
    EXPECT_FALSE(std::ifstream(dir + "/PROBE_APP.log.3").good()) << "only two earlier files are kept";
    // 1200 lines of about 200 bytes: more than the three files hold, so the oldest were dropped.
    EXPECT_LT(lines, 4U * 300U);
    EXPECT_GT(lines, 150U);
}

// The repeat limit keeps one line per place in the code and window; the other messages are dropped.
TEST(ConsoleLoggingTest, RepeatLimitKeepsTheFirstMessagesOfEachPlacePerWindow) {
    const ProbeRun limited = RunProbe("ARA_LOG_MODE= ARA_LOG_REPEAT_LIMIT=5/60000", "console 1 100");
    ASSERT_EQ(limited.exitStatus, 0);
    ASSERT_EQ(limited.errLines.size(), 5U);
    EXPECT_NE(limited.errLines[4].find("thread 0 message 4 "), std::string::npos) << limited.errLines[4];

    const ProbeRun bad = RunProbe("ARA_LOG_MODE= ARA_LOG_REPEAT_LIMIT=5", "console 1 3");
    ASSERT_EQ(bad.errLines.size(), 4U);
    EXPECT_NE(bad.errLines[0].find("ignoring ARA_LOG_REPEAT_LIMIT=\"5\": expected <count>/<milliseconds>"),
              std::string::npos);
}

// With no DLT daemon the library keeps messages in its buffer; the process must still end at once.
TEST(RemoteLoggingTest, ProcessEndsPromptlyWithoutDaemon) {
    const ProbeRun run = RunProbe("ARA_LOG_MODE=", "remote,console 2 2000");
    ASSERT_EQ(run.exitStatus, 0);
    EXPECT_LT(run.seconds, 5.0);
    EXPECT_TRUE(run.out.empty()) << "DLT must not print to standard output: " << run.out.substr(0, 200);
    std::size_t messageLines = 0;
    for (const std::string& line : run.errLines) {
        messageLines += std::regex_match(line, kConsoleLine) ? 1 : 0;
    }
    EXPECT_EQ(messageLines, 2U * 2000U);
}

}  // namespace

namespace {

// A private DLT daemon (its own pipe directory and port) and a receiver printing what reaches it.
TEST(RemoteLoggingTest, DaemonReceivesTypedMessagesWithShortIds) {
    ASSERT_EQ(std::system("command -v dlt-daemon >/dev/null && command -v dlt-receive >/dev/null"), 0)
        << "dlt-daemon or dlt-receive is missing: scripts/install-deps.sh installs them";
    const std::string dir = TestDirectory();
    const std::string port = std::to_string(35000 + ::getpid() % 1000);
    // The receiver's output is line-buffered so that the script can wait for what it has printed.
    const std::string script = "cd " + dir + " && (dlt-daemon -t " + dir + " -p " + port +
                               " >daemon.log 2>&1 & echo $! >daemon.pid)" +
                               " && for i in $(seq 200); do [ -p dlt ] && break; sleep 0.05; done" +
                               " && (stdbuf -oL dlt-receive -a -p " + port +
                               " localhost >received.txt 2>&1 & echo $! >receive.pid)" +
                               " && for i in $(seq 200); do grep -q 'New client connection' "
                               "received.txt && break; sleep 0.05;" +
                               " done; env ARA_LOG_MODE= DLT_PIPE_DIR=" + dir + " " + LOG_EXIT_PROBE +
                               " remote 1 3 >/dev/null 2>&1;" +
                               " for i in $(seq 200); do grep -q \"Unregistered ApID 'PROB'\" received.txt "
                               "&& break; sleep 0.05; done;" +
                               " kill $(cat receive.pid) $(cat daemon.pid); wait";
    ASSERT_EQ(std::system(script.c_str()), 0);

    std::istringstream received(camera_test::ReadText(dir + "/received.txt"));
    std::size_t messages = 0;
    for (std::string line; std::getline(received, line);) {
        // Application and context ids are cut to four characters; each argument travels typed (7 of them).
        if (line.find(" PROB PROB log info V 7 [thread  0  message  ") != std::string::npos) {
            ++messages;
        }
    }
    EXPECT_EQ(messages, 3U) << camera_test::ReadText(dir + "/received.txt");
}

}  // namespace
