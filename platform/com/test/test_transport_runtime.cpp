// The transport-loss handler's lifetime. A loss is reported once per process, so each case runs in a child
// process of its own (a death test that must end with status 0); the child's status names what went wrong.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "vrt/cm/transport_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(5);

// Whether thread `tid` of this process sleeps (state S: waiting on a futex, here).
bool ThreadSleeps(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

enum Outcome {
    kHeld = 0,
    kHandlerNotCalled = 2,
    kClearerNeverWaited = 3,
    kClearedDuringTheCall = 4,
    kLossNotRecorded = 5,
};

// A handler that blocks until released; another thread clears it meanwhile. The clearing must not return
// before the call has finished: the clearer's caller would then destroy what the handler still uses.
int ClearWhileTheHandlerRuns() {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    std::atomic<bool> finished{false};
    vrt::cm::SetTransportLossHandler([&](const std::string&) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        finished = true;
    });
    std::thread reporter([] { vrt::cm::ReportTransportLoss("[Test] transport gone"); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, kLimit, [&] { return entered; })) {
            std::_Exit(kHandlerNotCalled);
        }
    }

    std::atomic<pid_t> clearerTid{0};
    std::atomic<bool> cleared{false};
    std::atomic<bool> finishedWhenCleared{false};
    std::thread clearer([&] {
        clearerTid = static_cast<pid_t>(::syscall(SYS_gettid));
        vrt::cm::SetTransportLossHandler(nullptr);
        finishedWhenCleared = finished.load();
        cleared = true;
    });
    // Until the clearer has returned (wrongly, the call still runs) or waits for the call.
    const auto deadline = Clock::now() + kLimit;
    bool waiting = false;
    while (!cleared && !waiting && Clock::now() < deadline) {
        waiting = clearerTid != 0 && ThreadSleeps(clearerTid);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    clearer.join();
    reporter.join();
    if (!waiting && !cleared) {
        return kClearerNeverWaited;
    }
    if (!finishedWhenCleared) {
        return kClearedDuringTheCall;
    }
    return vrt::cm::TransportLost() ? kHeld : kLossNotRecorded;
}

// A handler that clears itself, as a handler of a one-shot loss may, must not wait for its own end.
int HandlerClearsItself() {
    ::alarm(10);  // a deadlock ends the child with SIGALRM instead of hanging the test
    std::atomic<int> calls{0};
    vrt::cm::SetTransportLossHandler([&calls](const std::string&) {
        vrt::cm::SetTransportLossHandler(nullptr);
        ++calls;
    });
    vrt::cm::ReportTransportLoss("[Test] transport gone");
    vrt::cm::ReportTransportLoss("[Test] transport gone again");
    vrt::cm::SetTransportLossHandler(nullptr);
    return calls == 1 && vrt::cm::TransportLost() ? kHeld : kHandlerNotCalled;
}

class TransportLossHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(TransportLossHandlerTest, ClearingWaitsForTheCallInProgress) {
    EXPECT_EXIT(std::exit(ClearWhileTheHandlerRuns()), ::testing::ExitedWithCode(kHeld), "");
}

TEST_F(TransportLossHandlerTest, HandlerThatClearsItselfDoesNotDeadlock) {
    EXPECT_EXIT(std::exit(HandlerClearsItself()), ::testing::ExitedWithCode(kHeld), "");
}

}  // namespace
