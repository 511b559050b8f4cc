#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "configuration_check.h"

namespace {

using ara::log::LogLevel;

constexpr const char* kInputSides =
    "an even number of pixels from 2 to 8192 (the media unit's NV12 pictures)";
constexpr const char* kOutputSides = "an even number of pixels from 16 to 8192 (the encoder's pictures)";

boost::property_tree::ptree validConfiguration() {
    boost::property_tree::ptree tree;
    for (int id = 8; id < 12; ++id) {
        boost::property_tree::ptree section;
        section.put("inputImageWidth", "1920");
        section.put("inputImageHeight", "1080");
        section.put("outputImageWidth", "1280");
        section.put("outputImageHeight", "720");
        section.put("cropTopOffset", "54");
        section.put("cropLeftOffset", "96");
        section.put("encoderGopNumber", "30");
        tree.add_child("cam_" + std::to_string(id), section);
    }
    return tree;
}

class ConfigurationCheckTest : public ::testing::Test {
  protected:
    ara::log::Logger& logger_ = ara::log::CreateLogger("TCFG", "configuration check tests", LogLevel::kDebug);
    ara::log::LogCapture capture_;

    bool check(const boost::property_tree::ptree& tree) {
        return checkConfiguration(tree, "/cfg/a.ini", logger_);
    }
    std::string errors() const {
        std::string text;
        for (const auto& log : capture_.Messages()) {
            if (log.level == LogLevel::kError) {
                text += log.message + "\n";
            }
        }
        return text;
    }
};

TEST_F(ConfigurationCheckTest, AcceptsACompleteConfiguration) {
    auto tree = validConfiguration();
    tree.put("cam_9.encoderGopNumber", "0");
    tree.put("cam_9.remapFilePathX", "x.bin");
    tree.put("cam_9.remapFilePathY", "y.bin");
    EXPECT_TRUE(check(tree)) << errors();
    EXPECT_TRUE(capture_.Messages().empty());
}

// Stored files may carry keys of other versions: accepted, but named once so that a misspelt key is seen.
TEST_F(ConfigurationCheckTest, UnusedSectionsAndKeysAreNamedInOneWarning) {
    auto tree = validConfiguration();
    tree.put("other.anything", "ignored");
    tree.put("cam_9.remapFilePathZ", "z.bin");
    EXPECT_TRUE(check(tree)) << errors();
    ASSERT_EQ(capture_.Messages().size(), 1U);
    EXPECT_EQ(
        capture_.Count("TCFG", LogLevel::kWarn, "not used, ignored: [cam_9] key remapFilePathZ, [other]"),
        1U);
}

TEST_F(ConfigurationCheckTest, NamesFileSectionKeyValueAndExpectation) {
    struct Case {
        const char* key;
        const char* value;
        const char* expected;
    };
    const Case cases[] = {
        {"outputImageWidth", "-1", kOutputSides},
        {"inputImageHeight", "1081", kInputSides},
        {"outputImageHeight", "0", kOutputSides},
        {"inputImageWidth", "16384", kInputSides},
        {"inputImageWidth", "4294967296", kInputSides},
        {"outputImageWidth", "12abc", kOutputSides},
        {"outputImageWidth", "", kOutputSides},
        // The picture tasks would take these, the encoder channel does not.
        {"outputImageWidth", "2", kOutputSides},
        {"outputImageHeight", "14", kOutputSides},
        {"outputImageWidth", "1281", kOutputSides},
        {"outputImageHeight", "8194", kOutputSides},
        {"cropTopOffset", "540", "below half the input picture side"},
        {"cropLeftOffset", "+5", "below half the input picture side"},
        {"encoderGopNumber", "65537", "0 (one key frame at the start) to 65536"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " = " + c.value);
        capture_.Clear();
        auto tree = validConfiguration();
        tree.put(std::string("cam_10.") + c.key, c.value);
        EXPECT_FALSE(check(tree));
        const std::string text = errors();
        EXPECT_NE(text.find("/cfg/a.ini"), std::string::npos) << text;
        EXPECT_NE(text.find("[cam_10] key " + std::string(c.key) + " = \"" + c.value + "\""),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    }
}

TEST_F(ConfigurationCheckTest, AcceptsEveryOutputSizeTheEncoderTakes) {
    const std::pair<const char*, const char*> sizes[] = {
        {"16", "16"}, {"640", "360"}, {"1282", "722"}, {"1920", "1080"}, {"8192", "8192"}};
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(std::string(width) + " x " + height);
        auto tree = validConfiguration();
        tree.put("cam_9.outputImageWidth", width);
        tree.put("cam_9.outputImageHeight", height);
        EXPECT_TRUE(check(tree)) << errors();
    }
}

TEST_F(ConfigurationCheckTest, ReportsEveryMissingSectionAndKey) {
    auto tree = validConfiguration();
    tree.erase("cam_11");
    tree.get_child("cam_8").erase("encoderGopNumber");
    EXPECT_FALSE(check(tree));
    EXPECT_EQ(capture_.Count("TCFG", LogLevel::kError, "section [cam_11] missing"), 1U);
    EXPECT_EQ(capture_.Count("TCFG", LogLevel::kError, "[cam_8] key encoderGopNumber = (missing)"), 1U);
}

TEST_F(ConfigurationCheckTest, OneMapFileAloneIsAWarningNotAnError) {
    auto tree = validConfiguration();
    tree.put("cam_8.remapFilePathX", "x.bin");
    EXPECT_TRUE(check(tree));
    EXPECT_EQ(capture_.Count("TCFG", LogLevel::kWarn, "names only remapFilePathX"), 1U);
}

TEST_F(ConfigurationCheckTest, ReaderErrorsCarryTheReadersMessage) {
    const auto errorOf = [this](const std::string& path) {
        const auto read = readConfiguration(path, logger_);
        return read ? std::nullopt : std::optional<ConfigurationReadError>(read.Error());
    };
    const std::string missing = ::testing::TempDir() + "/no_such_dir/aos_a_cam_config.ini";
    EXPECT_EQ(errorOf(missing), ConfigurationReadError::kUnusableFile);
    EXPECT_EQ(capture_.Count("TCFG", LogLevel::kError, "cannot open file"), 1U);

    const std::string malformed = ::testing::TempDir() + "/malformed.ini";
    std::ofstream(malformed) << "[cam_8]\ninputImageWidth 1920\n";
    EXPECT_EQ(errorOf(malformed), ConfigurationReadError::kMalformed);
    EXPECT_EQ(capture_.Count("TCFG", LogLevel::kError, "'=' character not found in line"), 1U);

    // A FIFO without a writer would block the reader for ever.
    const std::string fifo = ::testing::TempDir() + "/fifo.ini";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(errorOf(fifo), ConfigurationReadError::kUnusableFile);
    EXPECT_EQ(capture_.Count("TCFG", LogLevel::kError, fifo + " unusable: is a FIFO, not a regular file"),
              1U);
    ::unlink(fifo.c_str());

    EXPECT_EQ(configurationPath("/etc/cam/"), "/etc/cam//aos_a_cam_config.ini");
    EXPECT_EQ(configurationPath(""), "/aos_a_cam_config.ini");
}

// The README's own example: comments after values, a byte-order mark as some editors write it, and a ';'
// inside a word that stays part of the value.
TEST_F(ConfigurationCheckTest, ReadsCommentsAfterValuesAndAByteOrderMark) {
    const std::string path = ::testing::TempDir() + "/commented.ini";
    std::ofstream(path)
        << "\xEF\xBB\xBF; cameras\n[cam_8]\ninputImageWidth = 1920      ; the camera's frames\n"
           "encoderGopNumber = 30\t# frames per group\n  # indented comment\n"
           "remapFilePathX = maps/a;b#c.bin ; both or neither\n";
    const auto read = readConfiguration(path, logger_);
    ASSERT_TRUE(read) << errors();
    const boost::property_tree::ptree& tree = read.Value();
    EXPECT_EQ(tree.get<std::string>("cam_8.inputImageWidth"), "1920");
    EXPECT_EQ(tree.get<std::string>("cam_8.encoderGopNumber"), "30");
    EXPECT_EQ(tree.get<std::string>("cam_8.remapFilePathX"), "maps/a;b#c.bin");
    EXPECT_EQ(tree.size(), 1U);
}

}  // namespace
