// Runs the setup_test executable as a process: it must offer both services and keep publishing.
#include <gtest/gtest.h>

#include <chrono>

#include "camera_test/eventually.h"
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

    // Every 300 ms: the first publish, then three more no sooner than 900 ms later (less the time it took to
    // see the first).
    const auto published = [&output] { return CountOccurrences(ReadText(output), "GetData\n"); };
    ASSERT_TRUE(camera_test::Eventually([&] { return published() >= 1U; })) << ReadText(output);
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(camera_test::Eventually([&] { return published() >= 4U; })) << ReadText(output);
    EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(850));
    EXPECT_EQ(sut.Wait(std::chrono::milliseconds(0)), -1) << "still running: it never returns";

    const std::string text = ReadText(output);
    EXPECT_NE(text.find("Let's produce some camera data..."), std::string::npos) << text;
    EXPECT_EQ(CountOccurrences(text, "Initializing skeleton for:"), 2U);
    EXPECT_EQ(CountOccurrences(text, "[error]"), 0U) << text;
}

}  // namespace
