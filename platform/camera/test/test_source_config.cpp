#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "camera_test/gtest_support.h"
#include "source_config.h"

namespace {

using namespace vcu::camera::internal;
using camera_test::TemporaryDirectory;

class SourceConfigTest : public ::testing::Test {
  protected:
    SourceSettingsResult load(const std::vector<unsigned int>& ids) {
        return loadSourceSettings(ids, [this](const char* name) -> const char* {
            const auto found = environment.find(name);
            return found != environment.end() ? found->second.c_str() : nullptr;
        });
    }

    std::vector<SourceSettings> loadOk(const std::vector<unsigned int>& ids) {
        const SourceSettingsResult result = load(ids);
        if (!result) {
            ADD_FAILURE() << result.Error().message;
            return {};
        }
        return result.Value();
    }

    std::string loadError(const std::vector<unsigned int>& ids) {
        const SourceSettingsResult result = load(ids);
        return result ? std::string("(accepted)") : result.Error().message;
    }

    void useFile(const std::string& content) {
        environment["CM_CONFIG_FILE_PATH"] = directory.Path();
        configFile = camera_test::WriteTestFile(directory, "vcu_camera.ini", content);
    }

    TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_camera_test_");
    std::map<std::string, std::string> environment;
    std::string configFile;
};

TEST_F(SourceConfigTest, CameraSectionsOverrideDefaultsAndTheEnvironmentOverridesBoth) {
    useFile(
        "[camera]\nfps = 20\nbuffers = 6\n"
        "[camera_9]\nsource = nv12\npath = clips/nine.nv12\nfps = 10\n"
        "[camera_10]\nsource = video\npath = /data/ten.mp4\n"
        "[camera_99]\nsource = pattern\n");
    environment["VCU_CAMERA_SOURCE_10"] = "pattern";
    environment["VCU_CAMERA_SOURCE_11"] = "video:/tmp/eleven.mkv";
    const auto settings = loadOk({8, 9, 10, 11});
    ASSERT_EQ(settings.size(), 4U);

    EXPECT_EQ(settings[0].kind, SourceKind::kPattern);
    EXPECT_EQ(settings[0].fps, 20);
    EXPECT_EQ(settings[0].bufferCount, 6);
    EXPECT_EQ(settings[1].kind, SourceKind::kNv12File);
    EXPECT_EQ(settings[1].path, directory.File("clips/nine.nv12"));  // relative to the file
    EXPECT_EQ(settings[1].fps, 10);
    EXPECT_EQ(settings[2].kind, SourceKind::kPattern);
    EXPECT_EQ(settings[3].kind, SourceKind::kVideoFile);
    EXPECT_EQ(settings[3].path, "/tmp/eleven.mkv");

    environment["VCU_CAMERA_FPS"] = "100";
    for (const auto& camera : loadOk({8, 9})) {
        EXPECT_EQ(camera.fps, 100);
    }
}

TEST_F(SourceConfigTest, ErrorsNameTheFileSectionKeyAndValue) {
    struct Case {
        const char* content;
        std::vector<const char*> fragments;
    };
    const std::vector<Case> cases{
        {"[camera_8]\nfps = 500\n", {"[camera_8]", "fps", "'500'", "1 to 240"}},
        {"[camera_8]\nfps = 12abc\n", {"fps", "'12abc'"}},
        {"[camera]\nbuffers = 1\n", {"[camera]", "buffers", "'1'", "2 to 64"}},
        {"[camera]\nsource = webcam\n", {"source", "'webcam'", "pattern, nv12 or video"}},
        {"[camera]\ncolour = red\n", {"unknown key 'colour'", "[camera]"}},
        {"[cameras]\nfps = 5\n", {"unknown section [cameras]"}},
        {"[camera_x]\nfps = 5\n", {"unknown section [camera_x]"}},
        {"fps = 5\n", {"'fps' is outside any section"}},
        {"[camera]\nfps = 5\nfps = 6\n", {"line"}},
        {"[camera_8]\nsource = nv12\n", {"camera 8", "needs a path"}},
    };
    for (const Case& item : cases) {
        useFile(item.content);
        const std::string message = loadError({8});
        EXPECT_NE(message.find(configFile), std::string::npos) << item.content << " -> " << message;
        for (const char* fragment : item.fragments) {
            EXPECT_NE(message.find(fragment), std::string::npos) << item.content << " -> " << message;
        }
    }
}

TEST_F(SourceConfigTest, ACameraSectionMayGiveTheLensThePatternIsSeenThrough) {
    useFile(
        "[camera_8]\nlens_fx = 1100\nlens_fy = 1000\nlens_cx = 959.5\nlens_cy = 539.5\nlens_k1 = -0.32\n"
        "lens_p2 = -5e-4\nlens_zoom = 0.85\n");
    const auto settings = loadOk({8, 9});
    ASSERT_EQ(settings.size(), 2U);
    ASSERT_TRUE(settings[0].lens);
    EXPECT_DOUBLE_EQ(settings[0].lens->camera.fx, 1100);
    EXPECT_DOUBLE_EQ(settings[0].lens->camera.fy, 1000);
    EXPECT_DOUBLE_EQ(settings[0].lens->camera.cy, 539.5);
    EXPECT_DOUBLE_EQ(settings[0].lens->distortion.k1, -0.32);
    EXPECT_DOUBLE_EQ(settings[0].lens->distortion.k2, 0.0);
    EXPECT_DOUBLE_EQ(settings[0].lens->distortion.p2, -5e-4);
    EXPECT_DOUBLE_EQ(settings[0].lens->zoom, 0.85);
    EXPECT_DOUBLE_EQ(settings[0].lens->view().fx, 935);
    EXPECT_FALSE(settings[1].lens);

    const std::vector<std::pair<const char*, std::vector<const char*>>> cases{
        {"[camera_8]\nlens_fx = 1100\nlens_fy = 1100\nlens_cy = 539.5\n",
         {"[camera_8]", "lens_cx is missing"}},
        {"[camera_8]\nlens_fx = wide\n", {"lens_fx", "'wide'", "a number"}},
        {"[camera_8]\nlens_fx = -1\nlens_fy = 1\nlens_cx = 1\nlens_cy = 1\n", {"must be positive"}},
        {"[camera]\nlens_fx = 1100\n", {"unknown key 'lens_fx'", "[camera]"}},
        {"[camera_8]\nlens_k4 = 1\n", {"unknown key 'lens_k4'", "lens_fx .. lens_zoom"}},
        {"[camera_8]\nsource = video\npath = a.mp4\nlens_fx = 1\nlens_fy = 1\nlens_cx = 1\nlens_cy = 1\n",
         {"camera 8", "test pattern only"}},
    };
    for (const auto& [content, fragments] : cases) {
        useFile(content);
        const std::string message = loadError({8});
        for (const char* fragment : fragments) {
            EXPECT_NE(message.find(fragment), std::string::npos) << content << " -> " << message;
        }
    }
}

}  // namespace
