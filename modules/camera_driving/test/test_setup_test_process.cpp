// Runs the setup_test executable as a process: it must offer both services and keep publishing.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "roudi_process.h"
#include "wrapper_test_support.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(SetupTestProcess, PublishesOnEveryPortEvery300Ms) {
    vrt::cm::test::ScopedManifest manifest(camera_driving::test::ProlocManifest());
    const std::string output = manifest.Directory() + "/output.txt";
    vrt::cm::test::ChildProcess sut({SETUP_TEST_BINARY}, output);
    ASSERT_TRUE(sut.Started());

    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(sut.Wait(std::chrono::milliseconds(0)), -1) << "still running: it never returns";

    const std::string text = ReadFile(output);
    EXPECT_NE(text.find("Let's produce some camera data..."), std::string::npos) << text;
    EXPECT_EQ(Occurrences(text, "Initializing skeleton for:"), 2U);
    // Publishes at 0, 300, 600 and 900 ms.
    EXPECT_GE(Occurrences(text, "GetData\n"), 3U) << text;
    EXPECT_LE(Occurrences(text, "GetData\n"), 5U) << text;
    EXPECT_EQ(Occurrences(text, "[error]"), 0U) << text;
}

}  // namespace
