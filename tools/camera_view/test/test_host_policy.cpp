// Which Host and Origin headers the server answers: its own names only, with its own port.

#include <gtest/gtest.h>

#include <string>

#include "host_policy.h"

namespace camera_view {
namespace {

TEST(HostPolicyTest, NamesAreNormalizedAsAHostHeaderGivesThem) {
    EXPECT_EQ(NormalizeHostName("LocalHost"), "localhost");
    EXPECT_EQ(NormalizeHostName("10.0.0.7"), "10.0.0.7");
    EXPECT_EQ(NormalizeHostName("::1"), "[::1]");
    EXPECT_EQ(NormalizeHostName("[0:0::1]"), "[::1]");
    EXPECT_EQ(NormalizeHostName("FE80::A"), "[fe80::a]");
    for (const char* bad : {"", "evil/x", "a b", ".local", "[1.2.3.4]", "[::1", "fe80::1%eth0", "host:80"}) {
        EXPECT_FALSE(NormalizeHostName(bad)) << bad;
    }
}

TEST(HostPolicyTest, AHostMustBeOneOfTheServersNamesWithItsPortOrNone) {
    const HostPolicy sut("192.168.1.20", {"camera-pc"}, 8090);
    for (const char* own : {"localhost:8090", "LOCALHOST:8090", "127.0.0.1:8090", "[::1]:8090", "[0::1]:8090",
                            "192.168.1.20:8090", "camera-pc:8090", "Camera-PC", "127.0.0.1"}) {
        EXPECT_TRUE(sut.HostAllowed(own)) << own;
    }
    for (const char* foreign :
         {"", "evil.example:8090", "evil.example", "localhost:8091", "localhost:", "localhost:08090",
          "127.0.0.2:8090", "[::1", "[::2]:8090", "camera-pc.evil.example:8090", "localhost:8090:8090",
          "localhost.:8090", "0.0.0.0:8090"}) {
        EXPECT_FALSE(sut.HostAllowed(foreign)) << foreign;
    }
}

TEST(HostPolicyTest, AWildcardListenAddressIsNoNameOfTheServer) {
    const HostPolicy sut("0.0.0.0", {}, 8090);
    EXPECT_FALSE(sut.HostAllowed("0.0.0.0:8090"));
    EXPECT_TRUE(sut.HostAllowed("localhost:8090"));
    EXPECT_EQ(sut.Names(), (std::vector<std::string>{"localhost", "127.0.0.1", "[::1]"}));
    EXPECT_FALSE(HostPolicy("::", {}, 8090).HostAllowed("[::]:8090"));
}

TEST(HostPolicyTest, AnOriginMustBeThisServersOwnPage) {
    const HostPolicy sut("127.0.0.1", {"camera-pc"}, 8090);
    for (const char* own : {"http://127.0.0.1:8090", "http://localhost:8090", "HTTP://LocalHost:8090",
                            "http://[::1]:8090", "http://camera-pc:8090"}) {
        EXPECT_TRUE(sut.OriginAllowed(own)) << own;
    }
    for (const char* foreign :
         {"https://evil.example", "http://evil.example:8090", "null", "", "http://", "http://127.0.0.1",
          "http://127.0.0.1:80", "http://localhost:8091", "https://127.0.0.1:8090", "http://127.0.0.1:8090/",
          "file://", "http://127.0.0.1:8090.evil.example"}) {
        EXPECT_FALSE(sut.OriginAllowed(foreign)) << foreign;
    }
    // On port 80 a browser leaves the port out.
    const HostPolicy onEighty("127.0.0.1", {}, 80);
    EXPECT_TRUE(onEighty.OriginAllowed("http://localhost"));
    EXPECT_TRUE(onEighty.OriginAllowed("http://localhost:80"));
}

}  // namespace
}  // namespace camera_view
