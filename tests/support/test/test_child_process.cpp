#include "camera_test/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"

namespace camera_test {
namespace {

using namespace std::chrono_literals;

class ChildProcessTest : public ::testing::Test {
  protected:
    TemporaryDirectory directory_ = NewTestDirectory("child_process_test_");
};

TEST_F(ChildProcessTest, ReportsTheExitStatusOrTheSignalAsAShellDoes) {
    ChildProcess exited = StartChild({"/bin/sh", "-c", "exit 3"});
    EXPECT_EQ(exited.Wait(5s), 3);
    ASSERT_TRUE(exited.Status().has_value());
    EXPECT_EQ(exited.Status()->Describe(), "exit status 3");

    ChildProcess killed = StartChild({"/bin/sh", "-c", "kill -9 $$"});
    EXPECT_EQ(killed.Wait(5s), 128 + SIGKILL);
    EXPECT_EQ(killed.Status()->Describe(), "signal 9");
}

TEST_F(ChildProcessTest, OutputAndErrorGoToTheirFilesWithTheGivenEnvironment) {
    SpawnOptions options;
    options.outputFile = directory_.File("out");
    options.errorFile = directory_.File("err");
    options.environment["CHILD_PROCESS_TEST"] = "set";
    ChildProcess sut = StartChild({"/bin/sh", "-c", "echo $CHILD_PROCESS_TEST; echo oops >&2"}, options);
    ASSERT_EQ(sut.Wait(5s), 0);
    EXPECT_EQ(ReadText(directory_.File("out")), "set\n");
    EXPECT_EQ(ReadText(directory_.File("err")), "oops\n");

    // One file for both when only the output is named.
    sut = StartChild({"/bin/sh", "-c", "echo one; echo two >&2"}, directory_.File("both"));
    ASSERT_EQ(sut.Wait(5s), 0);
    EXPECT_EQ(ReadText(directory_.File("both")), "one\ntwo\n");
}

TEST_F(ChildProcessTest, ClosedOutputReachesTheChildClosed) {
    SpawnOptions options;
    options.closeOutput = true;
    // `test -t`-free probe: writing to a closed descriptor fails, and the shell reports it.
    ChildProcess sut = StartChild({"/bin/sh", "-c", "echo x || exit 7"}, options);
    EXPECT_EQ(sut.Wait(5s), 7);
}

TEST_F(ChildProcessTest, AMissingProgramIsAnErrorNamingIt) {
    const auto sut = ChildProcess::Spawn({directory_.File("missing")});
    ASSERT_FALSE(sut);
    EXPECT_EQ(sut.Error().code, SupportErrc::kCannotStart);
    EXPECT_NE(sut.Error().message.find(directory_.File("missing")), std::string::npos) << sut.Error().message;
}

TEST_F(ChildProcessTest, WaitLeavesARunningChildAndDestructionEndsIt) {
    pid_t pid = -1;
    {
        // Ignores SIGTERM, so that only the SIGKILL after the grace ends it.
        ChildProcess sut = StartChild({"/bin/sh", "-c", "trap '' TERM; while :; do sleep 0.05; done"});
        pid = sut.Pid();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(sut.Wait(50ms), -1);
        EXPECT_TRUE(sut.Running());
        sut.Stop(100ms);
        EXPECT_FALSE(sut.Running());
        ASSERT_TRUE(sut.Status().has_value());
        EXPECT_EQ(sut.Status()->signal, SIGKILL);
    }
    {
        ChildProcess sut = StartChild({"/bin/sh", "-c", "while :; do sleep 0.05; done"});
        pid = sut.Pid();
    }
    // Reaped: the pid names no process (nor a zombie) any more.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

}  // namespace
}  // namespace camera_test
