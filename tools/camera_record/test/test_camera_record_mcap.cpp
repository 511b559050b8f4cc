// camera_record's MCAP file read by an independent reader: the real recorder with --format mcap against a
// RouDi of our own and a publisher process, then @mcap/core in Node (mcap_reader.test.mjs, run with
// node --test) reads what it wrote and compares it with the recorder's index files and FFmpeg's decoding.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "camera_test/gtest_support.h"
#include "com_test_support.h"
#include "record_test_support.h"

namespace camera_record {
namespace {

using camera_test::ReadText;
using camera_test::StartChild;

constexpr std::chrono::seconds kRunTimeout{90};
constexpr int kWidth = 640;
constexpr int kHeight = 360;

class CameraRecordMcapTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        manifest_.emplace(vrt::cm::test::Manifest(vrt::cm::test::EventEntry(
            35045, "CameraH265ImageEvent",
            std::string(R"({"SHM": {"serialization": )") + vrt::cm::test::kShmSerialization + "}}")));
    }
    static void TearDownTestSuite() {
        roudi_.reset();
        manifest_.reset();
    }

    void SetUp() override {
        if (!roudi_) {
            auto started = vrt::cm::test::StartRouDi(
                *manifest_, IOX_ROUDI, {{1024, 64}, {65536, 400}, {262144, 200}, {1048576, 16}});
            ASSERT_TRUE(started) << "no RouDi of our own: " << started.Error().message;
            roudi_.emplace(std::move(started).Value());
        }
    }

    static std::string Scratch(const std::string& name) { return manifest_->Directory() + "/" + name; }

    static camera_test::ChildProcess Start(std::vector<std::string> argv,
                                           const std::vector<std::string>& options, const std::string& log) {
        argv.insert(argv.end(), options.begin(), options.end());
        return StartChild(argv, log);
    }

    // Runs the Node reader on `directory`; its exit status, its report in `log`.
    static int ReadWithMcapCore(const std::string& directory, const std::string& cameras, bool cut,
                                const std::string& log) {
        camera_test::SpawnOptions options;
        options.outputFile = log;
        options.environment = {{"MCAP_DIR", directory},
                               {"MCAP_CAMERAS", cameras},
                               {"MCAP_WIDTH", std::to_string(kWidth)},
                               {"MCAP_HEIGHT", std::to_string(kHeight)},
                               {"MCAP_CUT", cut ? "1" : "0"}};
        auto reader = StartChild({NODE_BINARY, "--test", MCAP_READER_SCRIPT}, options);
        return reader.Wait(kRunTimeout);
    }

    static std::optional<vrt::cm::test::ScopedManifest> manifest_;
    static std::optional<camera_test::RouDiProcess> roudi_;
};

std::optional<vrt::cm::test::ScopedManifest> CameraRecordMcapTest::manifest_;
std::optional<camera_test::RouDiProcess> CameraRecordMcapTest::roudi_;

TEST_F(CameraRecordMcapTest, AnIndependentReaderReadsEveryCameraAsTheIndexesHaveIt) {
    const std::string output = Scratch("mcap");
    // 75 frames at 30 fps: two and a half seconds, so that the file has several chunks.
    auto recorder = Start({CAMERA_RECORD}, {"--format", "mcap", "--frames", "75", "--output", output},
                          Scratch("mcap.txt"));
    auto publisher =
        Start({RECORD_PUBLISHER}, {"100", "10", "30", std::to_string(kWidth), std::to_string(kHeight)},
              Scratch("publisher.txt"));
    ASSERT_EQ(recorder.Wait(kRunTimeout), 0) << ReadText(Scratch("mcap.txt"));
    EXPECT_EQ(publisher.Wait(kRunTimeout), 0) << ReadText(Scratch("publisher.txt"));

    EXPECT_EQ(ReadWithMcapCore(output, "8,9,10,11", false, Scratch("reader.txt")), 0)
        << ReadText(Scratch("reader.txt"));
}

// The disk fills while recording: the recorder says so and ends with status 1; the MCAP file, cut where the
// disk filled, still gives a reader every chunk written before.
TEST_F(CameraRecordMcapTest, AFullDiskLeavesAFileWhoseCompleteChunksAreRead) {
    const std::string output = Scratch("mcap_full");
    test::SmallDisk disk(output, "384k");
    ASSERT_TRUE(disk.Error().empty()) << disk.Error();
    auto recorder =
        Start({CAMERA_RECORD}, {"--format", "mcap", "--cameras", "9", "--duration", "8", "--output", output},
              Scratch("mcap_full.txt"));
    auto publisher =
        Start({RECORD_PUBLISHER}, {"300", "10", "30", std::to_string(kWidth), std::to_string(kHeight)},
              Scratch("publisher_full.txt"));
    ASSERT_EQ(recorder.Wait(kRunTimeout), 1) << ReadText(Scratch("mcap_full.txt"));
    const std::string text = ReadText(Scratch("mcap_full.txt"));
    EXPECT_NE(text.find("cameras.mcap: cannot be written: the disk is full"), std::string::npos) << text;
    EXPECT_NE(text.find("cameras.mcap is incomplete"), std::string::npos) << text;

    EXPECT_EQ(ReadWithMcapCore(output, "9", true, Scratch("reader_full.txt")), 0)
        << ReadText(Scratch("reader_full.txt"));
}

}  // namespace
}  // namespace camera_record
