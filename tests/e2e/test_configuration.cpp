#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "camera_test/files.h"
#include "e2e_system.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;
using camera_test::ChildProcess;
using camera_test::ReadText;

TEST(ApplicationConfigurationTest, EachErrorEndsTheProcessWithStatusOneBeforeAnythingStarts) {
    struct Case {
        const char* name;
        std::string ini;  // empty: no file at all
        const char* expected;
    };
    std::string sections;
    for (int id = 8; id < 12; ++id) {
        sections += cameraSection(id, 30, false);
    }
    const auto replace = [&](const std::string& from, const std::string& to) {
        std::string text = sections;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::vector<Case> cases = {
        {"missing file", "", "cannot open file"},
        {"malformed", "[cam_8]\ninputImageWidth 1920\n", "'=' character not found in line"},
        {"missing section", sections.substr(0, sections.find("[cam_11]")), "section [cam_11] missing"},
        {"missing key", replace("cropTopOffset = 0\n", ""), "section [cam_8] key cropTopOffset = (missing)"},
        {"negative value", replace("outputImageWidth = 1280", "outputImageWidth = -1"),
         "section [cam_8] key outputImageWidth = \"-1\": expected an even number of pixels from 16 to 8192"},
        {"output the encoder refuses", replace("outputImageHeight = 720", "outputImageHeight = 2"),
         "section [cam_8] key outputImageHeight = \"2\": expected an even number of pixels from 16 to 8192"},
        {"input size other than the camera's",
         replace("inputImageWidth = 1920\ninputImageHeight = 1080\noutputImageWidth = 640",
                 "inputImageWidth = 1280\ninputImageHeight = 720\noutputImageWidth = 640"),
         "camera 9: section [cam_9] keys inputImageWidth and inputImageHeight give 1280 x 720, but the "
         "camera "
         "delivers 1920 x 1080 frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const camera_test::TemporaryDirectory directory = testDirectory();
        const std::string& dir = directory.Path();
        if (!c.ini.empty()) {
            EXPECT_TRUE(camera_test::WriteFile(dir + "/aos_a_cam_config.ini", c.ini));
        }
        auto app = startApplication(dir);
        EXPECT_EQ(app.Wait(10s), 1);
        const std::string err = ReadText(dir + "/app.err");
        EXPECT_NE(err.find(c.expected), std::string::npos) << err;
        if (std::string(c.expected).rfind("camera ", 0) != 0) {
            EXPECT_NE(err.find(dir + "/aos_a_cam_config.ini"), std::string::npos)
                << "names the file: " << err;
        }
        EXPECT_EQ(err.find("Skeleton for:"), std::string::npos) << "no port is built: " << err;
        EXPECT_EQ(err.find("VCAM"), std::string::npos) << "no camera is started: " << err;
    }
}

// A FIFO without a writer would block the reader for ever; it is refused at once, by name.
TEST(ApplicationConfigurationTest, ConfigurationThatIsAFifoIsRefusedAtOnce) {
    const camera_test::TemporaryDirectory directory = testDirectory();
    const std::string& dir = directory.Path();
    ASSERT_EQ(::mkfifo((dir + "/aos_a_cam_config.ini").c_str(), 0600), 0);
    auto app = startApplication(dir);
    EXPECT_EQ(app.Wait(10s), 1);
    const std::string err = ReadText(dir + "/app.err");
    EXPECT_NE(err.find("Configuration file " + dir +
                       "/aos_a_cam_config.ini unusable: is a FIFO, not a regular file"),
              std::string::npos)
        << err;
}

}  // namespace
