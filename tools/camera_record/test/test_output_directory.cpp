#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "output_directory.h"

namespace camera_record {
namespace {

namespace fs = std::filesystem;

class OutputDirectoryTest : public ::testing::Test {
  protected:
    void Put(const std::string& name, const std::string& text) const {
        std::ofstream(directory_.Path() + "/" + name) << text;
    }

    camera_test::TemporaryDirectory directory_ = camera_test::NewTestDirectory("camera_record_output_");
};

TEST_F(OutputDirectoryTest, AMissingOrEmptyDirectoryIsTakenAsItIs) {
    const std::string missing = directory_.Path() + "/new/record";
    const auto created = PrepareOutputDirectory(missing, false);
    ASSERT_TRUE(created.HasValue()) << created.Error().message;
    EXPECT_TRUE(fs::is_directory(missing));
    EXPECT_TRUE(PrepareOutputDirectory(missing, false).HasValue()) << "empty";
}

TEST_F(OutputDirectoryTest, ADirectoryThatHoldsAnythingIsRefusedAndLeftAlone) {
    Put("summary.txt", "the recording of before");

    const auto sut = PrepareOutputDirectory(directory_.Path(), false);

    ASSERT_FALSE(sut.HasValue());
    EXPECT_EQ(sut.Error().message,
              "output directory " + directory_.Path() +
                  " is not empty (1 entries, e.g. summary.txt): a recording there would "
                  "overwrite what it holds; choose another --output or pass --overwrite");
    EXPECT_EQ(camera_test::ReadText(directory_.Path() + "/summary.txt"), "the recording of before");
    Put("plain", "x");
    const auto file = PrepareOutputDirectory(directory_.Path() + "/plain", false);
    ASSERT_FALSE(file.HasValue());
    EXPECT_NE(file.Error().message.find("/plain cannot be created"), std::string::npos)
        << file.Error().message;
}

TEST_F(OutputDirectoryTest, OverwriteRemovesEveryFileOfTheRecordingOfBeforeAndNothingElse) {
    for (const char* name :
         {"cam_8.h264", "cam_8.mp4", "cam_8_index.csv", "cam_11.h265", "summary.txt", "contact_sheet.png",
          "cameras.mcap", "recorder.log", "cam_12.mp4", "cam_8.mp4.bak"}) {
        Put(name, "x");
    }
    fs::create_directory(directory_.Path() + "/maps");

    const auto sut = PrepareOutputDirectory(directory_.Path(), true);

    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value(),
              (std::vector<std::string>{"cam_11.h265", "cam_8.h264", "cam_8.mp4", "cam_8_index.csv",
                                        "cameras.mcap", "contact_sheet.png", "summary.txt"}));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(directory_.Path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"cam_12.mp4", "cam_8.mp4.bak", "maps", "recorder.log"}));
}

}  // namespace
}  // namespace camera_record
