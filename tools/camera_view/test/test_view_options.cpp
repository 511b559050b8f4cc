#include <gtest/gtest.h>

#include "view_options.h"

namespace camera_view {
namespace {

TEST(ViewOptionsTest, DefaultsListenOnLoopbackOnly) {
    const auto sut = ViewCommandLine().Parse({});
    ASSERT_TRUE(sut.HasValue());
    EXPECT_EQ(sut.Value().address, "127.0.0.1");
    EXPECT_EQ(sut.Value().port, 8090);
    EXPECT_FALSE(sut.Value().durationSeconds);
}

TEST(ViewOptionsTest, ValuesComeAsTheNextArgumentOrAfterAnEqualsSign) {
    const auto sut = ViewCommandLine().Parse(
        {"--address", "0.0.0.0", "--port=0", "--manifest", "m.json", "--duration=2.5"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().address, "0.0.0.0");
    EXPECT_EQ(sut.Value().port, 0);
    EXPECT_EQ(sut.Value().manifestPath, "m.json");
    EXPECT_DOUBLE_EQ(*sut.Value().durationSeconds, 2.5);
}

TEST(ViewOptionsTest, BadValuesAreRefusedNamingTheOption) {
    for (const auto& [arguments, fragment] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--port", "65536"}, "--port 65536"},
             {{"--port", "-1"}, "--port -1"},
             {{"--port", "99999999999999999999"}, "--port"},
             {{"--duration", "0"}, "--duration 0"},
             {{"--duration", "soon"}, "--duration soon"},
             {{"--address="}, "--address"}}) {
        const auto sut = ViewCommandLine().Parse(arguments);
        ASSERT_FALSE(sut.HasValue()) << arguments[0];
        EXPECT_NE(sut.Error().message.find(fragment), std::string::npos) << sut.Error().message;
    }
}

}  // namespace
}  // namespace camera_view
