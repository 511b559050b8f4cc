// Runs the setup_test executable as a process: it must offer both services and keep publishing.
#include <gtest/gtest.h>

#include <thread>

#include "camera_test/gtest_support.h"
#include "wrapper_test_support.h"

namespace {

using camera_test::CountOccurrences;
using camera_test::ReadText;

TEST(SetupTestProcessTest, PublishesOnEveryPortEvery300Ms) {
    vrt::cm::test::ScopedManifest manifest(camera_driving::test::ProlocManifest());
    const std::string output = manifest.Directory() + "/output.txt";
    auto sut = camera_test::StartChild({SETUP_TEST_BINARY}, output);
    ASSERT_TRUE(sut.Started());

    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(sut.Wait(std::chrono::milliseconds(0)), -1) << "still running: it never returns";

    const std::string text = ReadText(output);
    EXPECT_NE(text.find("Let's produce some camera data..."), std::string::npos) << text;
    EXPECT_EQ(CountOccurrences(text, "Initializing skeleton for:"), 2U);
    // Publishes at 0, 300, 600 and 900 ms.
    EXPECT_GE(CountOccurrences(text, "GetData\n"), 3U) << text;
    EXPECT_LE(CountOccurrences(text, "GetData\n"), 5U) << text;
    EXPECT_EQ(CountOccurrences(text, "[error]"), 0U) << text;
}

}  // namespace
