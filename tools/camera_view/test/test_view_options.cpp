#include <gtest/gtest.h>

#include "view_options.h"

namespace camera_view {
namespace {

TEST(ViewOptionsTest, DefaultsListenOnLoopbackOnly) {
    const auto sut = ParseViewOptions({});
    ASSERT_TRUE(sut.HasValue());
    EXPECT_EQ(sut.Value().address, "127.0.0.1");
    EXPECT_EQ(sut.Value().port, 8090);
    EXPECT_FALSE(sut.Value().durationSeconds);
    EXPECT_TRUE(sut.Value().allowedHosts.empty());
}

TEST(ViewOptionsTest, EveryAllowedHostIsKeptNormalized) {
    const auto sut = ParseViewOptions({"--allow-host", "Camera-PC.local", "--allow-host=192.168.1.20",
                                       "--port", "1", "--allow-host", "fe80:0:0::1"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().allowedHosts,
              (std::vector<std::string>{"camera-pc.local", "192.168.1.20", "[fe80::1]"}));
}

TEST(ViewOptionsTest, EveryAllowedOriginIsKeptNormalized) {
    const auto sut = ParseViewOptions(
        {"--allow-origin", "https://App.Foxglove.dev", "--allow-origin=http://camera-pc:8080"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().allowedOrigins,
              (std::vector<std::string>{"https://app.foxglove.dev", "http://camera-pc:8080"}));
    EXPECT_TRUE(ParseViewOptions({}).Value().allowedOrigins.empty());
}

TEST(ViewOptionsTest, ValuesComeAsTheNextArgumentOrAfterAnEqualsSign) {
    const auto sut =
        ParseViewOptions({"--address", "0.0.0.0", "--port=0", "--manifest", "m.json", "--duration=2.5"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().address, "0.0.0.0");
    EXPECT_EQ(sut.Value().port, 0);
    EXPECT_EQ(sut.Value().manifestPath, "m.json");
    EXPECT_DOUBLE_EQ(*sut.Value().durationSeconds, 2.5);
    EXPECT_EQ(sut.Value().transport, "shm");
    EXPECT_EQ(ParseViewOptions({"--transport", "dds"}).Value().transport, "dds");
    EXPECT_FALSE(ParseViewOptions({"--transport", "udp"}).HasValue());
}

TEST(ViewOptionsTest, BadValuesAreRefusedNamingTheOption) {
    for (const auto& [arguments, fragment] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--port", "65536"}, "--port 65536"},
             {{"--port", "-1"}, "--port -1"},
             {{"--port", "99999999999999999999"}, "--port"},
             {{"--duration", "0"}, "--duration 0"},
             {{"--duration", "soon"}, "--duration soon"},
             {{"--address="}, "--address"},
             {{"--allow-host", "evil/x", "--allow-host", "camera-pc"}, "--allow-host evil/x"},
             {{"--allow-host", "[1.2.3.4]"}, "--allow-host [1.2.3.4]"},
             {{"--allow-host="}, "--allow-host ''"},
             {{"--allow-origin", "app.foxglove.dev"},
              "--allow-origin app.foxglove.dev: expected a web origin"},
             {{"--allow-origin", "https://ok.example", "--allow-origin", "null"}, "--allow-origin null"}}) {
        const auto sut = ParseViewOptions(arguments);
        ASSERT_FALSE(sut.HasValue()) << arguments[0];
        EXPECT_NE(sut.Error().message.find(fragment), std::string::npos) << sut.Error().message;
    }
}

}  // namespace
}  // namespace camera_view
