// Process-level tests of camera_record: the real binary, against a RouDi of our own and a publisher in
// another process (record_publisher). The first test runs before RouDi starts.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "camera_recording.h"
#include "camera_test/gtest_support.h"
#include "com_test_support.h"
#include "record_test_support.h"
#include "recorder_options.h"

namespace camera_record {
namespace {

using camera_test::ReadLines;
using camera_test::ReadText;
using camera_test::StartChild;
using test::ProbeMedia;
using test::SmallDisk;
using vrt::cm::test::ScopedManifest;

constexpr std::chrono::seconds kRunTimeout{90};
constexpr int kWidth = 640;
constexpr int kHeight = 360;

std::string ImageManifest() {
    return vrt::cm::test::Manifest(vrt::cm::test::EventEntry(
        35045, "CameraH265ImageEvent",
        std::string(R"({"SHM": {"serialization": )") + vrt::cm::test::kShmSerialization + "}}"));
}

// Waits for a live line in which `camera` received frames.
bool WaitForLiveFrames(const std::string& path, const std::string& camera,
                       std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& line : ReadLines(path)) {
            if (line.rfind('[', 0) == 0 && line.find(camera + " ") != std::string::npos &&
                line.find(camera + "  0.0 fps") == std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

class CameraRecordProcessTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { manifest_.emplace(ImageManifest()); }
    static void TearDownTestSuite() {
        roudi_.reset();
        manifest_.reset();
    }

    // Starts the suite's RouDi at the first test that needs one; the reason when there is none.
    static std::string RouDiUnavailable() {
        if (!roudi_) {
            auto started = vrt::cm::test::StartRouDi(
                *manifest_, IOX_ROUDI, {{1024, 64}, {65536, 400}, {262144, 200}, {1048576, 16}});
            if (!started) {
                return started.Error().message;
            }
            roudi_.emplace(std::move(started).Value());
        }
        return "";
    }

    std::string Scratch(const std::string& name) const { return manifest_->Directory() + "/" + name; }

    static camera_test::ChildProcess Recorder(const std::vector<std::string>& options,
                                              const std::string& log) {
        std::vector<std::string> argv{CAMERA_RECORD};
        argv.insert(argv.end(), options.begin(), options.end());
        return StartChild(argv, log);
    }

    static std::optional<ScopedManifest> manifest_;
    static std::optional<camera_test::RouDiProcess> roudi_;
};

std::optional<ScopedManifest> CameraRecordProcessTest::manifest_;
std::optional<camera_test::RouDiProcess> CameraRecordProcessTest::roudi_;

TEST_F(CameraRecordProcessTest, WithoutRouDiExitsAfterTheWaitLimitSayingSo) {
    if (camera_test::RouDiIsRunning()) {
        FAIL() << "a RouDi is running on this machine, so the case without one cannot be tried: stop it "
                  "(make run, the demo) or run the test with a private /tmp (unshare -m)";
    }
    camera_test::ScopedEnvironment wait("VRT_CM_ROUDI_WAIT_S", "0.5");
    auto sut = Recorder({"--duration", "5", "--output", Scratch("no_roudi")}, Scratch("no_roudi.txt"));

    EXPECT_EQ(sut.Wait(std::chrono::seconds(5)), 1);
    EXPECT_NE(
        ReadText(Scratch("no_roudi.txt"))
            .find("camera_record: cannot subscribe to the camera images (event 35045): no RouDi is running"),
        std::string::npos)
        << ReadText(Scratch("no_roudi.txt"));
}

TEST_F(CameraRecordProcessTest, WithoutPublisherKeepsWaitingAndReportsZeroFps) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    auto sut = Recorder({"--duration", "2.5", "--output", Scratch("idle")}, Scratch("idle.txt"));

    ASSERT_EQ(sut.Wait(kRunTimeout), 0) << ReadText(Scratch("idle.txt"));
    const std::string output = ReadText(Scratch("idle.txt"));
    EXPECT_NE(output.find("cam_8  0.0 fps"), std::string::npos) << output;
    EXPECT_NE(output.find("| waiting for the publisher"), std::string::npos) << output;
    EXPECT_NE(ReadText(Scratch("idle/summary.txt")).find("cam_11 frames=0 "), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(Scratch("idle/contact_sheet.png")));
}

TEST_F(CameraRecordProcessTest, RecordsEveryCameraOfAPublisherInAnotherProcess) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    constexpr int kFrames = 40;
    auto sut =
        Recorder({"--frames", std::to_string(kFrames), "--output", Scratch("run"), "--code-scale", "1"},
                 Scratch("run.txt"));
    auto publisher =
        StartChild({RECORD_PUBLISHER, "60", "10", "30", std::to_string(kWidth), std::to_string(kHeight)},
                   Scratch("publisher.txt"));

    ASSERT_EQ(sut.Wait(kRunTimeout), 0) << ReadText(Scratch("run.txt"));
    EXPECT_EQ(publisher.Wait(kRunTimeout), 0) << ReadText(Scratch("publisher.txt"));

    const std::string summary = ReadText(Scratch("run/summary.txt"));
    EXPECT_NE(ReadText(Scratch("run.txt")).find(summary), std::string::npos);
    for (int id = 8; id <= 11; ++id) {
        const std::string name = "cam_" + std::to_string(id);
        SCOPED_TRACE(name);
        EXPECT_TRUE(std::regex_search(
            summary,
            std::regex(name + " frames=40 key_frames=4 .* decode_errors=0 .*"
                              "codec=h264 size=640x360 .*code_disorder=0 lost_frames=0 damaged_frames=0\n")))
            << summary;

        const auto elementary = ProbeMedia(Scratch("run/" + name + ".h264"), "h264");
        EXPECT_EQ(elementary.decodedFrames, kFrames);
        EXPECT_EQ(elementary.width, kWidth);
        const auto mp4 = ProbeMedia(Scratch("run/" + name + ".mp4"));
        EXPECT_EQ(mp4.decodedFrames, kFrames);
        EXPECT_EQ(mp4.height, kHeight);
        ASSERT_EQ(mp4.ptsNs.size(), static_cast<std::size_t>(kFrames));
        EXPECT_EQ(mp4.ptsNs.front(), 0);
        for (std::size_t i = 1; i < mp4.ptsNs.size(); ++i) {
            EXPECT_GT(mp4.ptsNs[i], mp4.ptsNs[i - 1]);
        }
        // The index: codes strictly increasing, as the publisher sent them, and nothing lost (none expected
        // at this rate).
        const auto lines = ReadLines(Scratch("run/" + name + "_index.csv"));
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(kFrames) + 1U);
        for (std::size_t row = 1; row < lines.size(); ++row) {
            // ...,frame_code,lost_before,damaged
            const std::string tail = "," + std::to_string(row - 1) + ",0,0";
            EXPECT_EQ(lines[row].substr(lines[row].size() - tail.size()), tail) << lines[row];
        }
    }
    EXPECT_NE(summary.find("missed_samples=0 undecodable_samples=0 other_camera_samples=0"),
              std::string::npos);
    const std::string png = ReadText(Scratch("run/contact_sheet.png"));
    ASSERT_GT(png.size(), 24U);
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x05\0\0\0\x02\xd0", 8));
}

// One camera's frames lost on the way while every sample of the event arrived in sequence: the camera's own
// stream numbering shows it, in the index, the live line and the summary.
TEST_F(CameraRecordProcessTest, FramesOneCameraLostAreCountedForThatCameraWithTheFramesDamagedAfterThem) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    auto sut = Recorder({"--frames", "100", "--output", Scratch("lossy"), "--code-scale", "1"},
                        Scratch("lossy.txt"));
    auto publisher = StartChild({RECORD_PUBLISHER, "120", "10", "30", std::to_string(kWidth),
                                 std::to_string(kHeight), "--drop", "1", "12", "14"},
                                Scratch("publisher_lossy.txt"));

    ASSERT_EQ(sut.Wait(kRunTimeout), 0) << ReadText(Scratch("lossy.txt"));
    EXPECT_EQ(publisher.Wait(kRunTimeout), 0) << ReadText(Scratch("publisher_lossy.txt"));
    const std::string summary = ReadText(Scratch("lossy/summary.txt"));
    EXPECT_NE(summary.find("missed_samples=0 "), std::string::npos) << summary;
    EXPECT_TRUE(
        std::regex_search(summary, std::regex("cam_9 frames=100 .* lost_frames=3 damaged_frames=5\n")))
        << summary;
    for (const char* name : {"cam_8", "cam_10", "cam_11"}) {
        EXPECT_TRUE(std::regex_search(summary,
                                      std::regex(std::string(name) + " .* lost_frames=0 damaged_frames=0\n")))
            << summary;
    }
    // The live lines show them in the seconds they happened in (the recording runs on for seconds after).
    std::uint64_t liveLost = 0;
    std::uint64_t liveDamaged = 0;
    const std::regex cam9(R"(\| cam_9 [^|]* key (\d+) lost (\d+) damaged)");
    for (const std::string& line : ReadLines(Scratch("lossy.txt"))) {
        std::smatch match;
        if (std::regex_search(line, match, cam9)) {
            liveLost += std::stoull(match[1]);
            liveDamaged += std::stoull(match[2]);
        }
    }
    EXPECT_EQ(liveLost, 3U) << ReadText(Scratch("lossy.txt"));
    EXPECT_EQ(liveDamaged, 5U);
    const auto lines = ReadLines(Scratch("lossy/cam_9_index.csv"));
    ASSERT_EQ(lines.size(), 101U);
    EXPECT_EQ(lines[0], "frame,stamp,key,bytes,latency_ms,frame_code,lost_before,damaged");
    // Rows 12 to 16 are frames 15 to 19: after the loss, up to the key frame at 20.
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::size_t frame = row - 1;
        const std::string tail = frame == 12 ? ",3,1" : frame > 12 && frame <= 16 ? ",0,1" : ",0,0";
        EXPECT_EQ(lines[row].substr(lines[row].size() - tail.size()), tail) << lines[row];
    }
}

TEST_F(CameraRecordProcessTest, SigtermFinishesTheFilesAndExitsZero) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    auto sut = Recorder({"--output", Scratch("stopped"), "--cameras", "9"}, Scratch("stopped.txt"));
    auto publisher =
        StartChild({RECORD_PUBLISHER, "300", "10", "30", std::to_string(kWidth), std::to_string(kHeight)},
                   Scratch("publisher2.txt"));
    ASSERT_TRUE(WaitForLiveFrames(Scratch("stopped.txt"), "cam_9", std::chrono::seconds(30)))
        << ReadText(Scratch("stopped.txt"));

    sut.Signal(SIGTERM);

    EXPECT_EQ(sut.Wait(std::chrono::seconds(5)), 0) << ReadText(Scratch("stopped.txt"));
    const auto mp4 = ProbeMedia(Scratch("stopped/cam_9.mp4"));
    ASSERT_TRUE(mp4.error.empty()) << mp4.error;
    EXPECT_GT(mp4.decodedFrames, 0);
    EXPECT_NE(ReadText(Scratch("stopped/summary.txt")).find("cam_9 frames="), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Scratch("stopped/cam_8.mp4")));
}

// A recorder killed (SIGKILL: no chance to finish its files) leaves an MP4 that plays up to its last
// fragment, which is at most about a second behind the index it flushed at the same moment.
TEST_F(CameraRecordProcessTest, AKilledRecordersMp4PlaysUpToItsLastFragment) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    const std::string output = Scratch("killed");
    auto sut = Recorder({"--output", output, "--cameras", "10", "--code-scale", "1"}, Scratch("killed.txt"));
    auto publisher =
        StartChild({RECORD_PUBLISHER, "300", "10", "30", std::to_string(kWidth), std::to_string(kHeight)},
                   Scratch("publisher_killed.txt"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadLines(output + "/cam_10_index.csv").size() < 61 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(ReadLines(output + "/cam_10_index.csv").size(), 61U) << ReadText(Scratch("killed.txt"));

    sut.Signal(SIGKILL);

    ASSERT_EQ(sut.Wait(std::chrono::seconds(5)), 128 + SIGKILL);
    const auto rows = static_cast<int>(ReadLines(output + "/cam_10_index.csv").size()) - 1;
    const auto mp4 = ProbeMedia(output + "/cam_10.mp4");
    ASSERT_TRUE(mp4.error.empty()) << mp4.error;
    // The index's rows wait for their pictures; the MP4 may have cut a fragment on its own since.
    EXPECT_GE(mp4.decodedFrames, rows);
    EXPECT_LE(mp4.decodedFrames, rows + static_cast<int>(CameraRecording::kMaxPendingRows) + 30);
    for (std::size_t i = 0; i < mp4.codes.size(); ++i) {
        ASSERT_EQ(mp4.codes[i], i) << "the frames play in order from the first";
    }
}

// A full disk: the live line says so, the recording of the camera stops with a plain message, the index
// (flushed every second) matches the video that reached the disk, and no empty summary is left behind.
TEST_F(CameraRecordProcessTest, FullDiskStopsTheCameraSaysSoAndKeepsAMatchingIndex) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    const std::string output = Scratch("full_disk");
    SmallDisk disk(output, "256k");
    ASSERT_TRUE(disk.Error().empty()) << disk.Error();
    auto sut = Recorder({"--output", output, "--cameras", "9", "--duration", "8"}, Scratch("full_disk.txt"));
    auto publisher =
        StartChild({RECORD_PUBLISHER, "300", "10", "30", std::to_string(kWidth), std::to_string(kHeight)},
                   Scratch("publisher3.txt"));

    ASSERT_EQ(sut.Wait(kRunTimeout), 1) << ReadText(Scratch("full_disk.txt"));
    const std::string text = ReadText(Scratch("full_disk.txt"));
    EXPECT_NE(text.find("cam_9: the disk is full: "), std::string::npos) << text;
    EXPECT_NE(text.find("STOPPED: disk full (No space left on device)"), std::string::npos) << text;
    EXPECT_NE(text.find("cam_9 stopped recording: disk full"), std::string::npos) << text;
    // The live line stops counting frames once the camera stopped.
    const std::vector<std::string> lines = ReadLines(Scratch("full_disk.txt"));
    std::string lastLive;
    for (const std::string& line : lines) {
        if (line.rfind('[', 0) == 0) {
            lastLive = line;
        }
    }
    EXPECT_NE(lastLive.find("cam_9  0.0 fps"), std::string::npos) << lastLive;

    const std::vector<std::string> index = ReadLines(output + "/cam_9_index.csv");
    ASSERT_GT(index.size(), 1U) << "the index holds the lines flushed before the disk filled";
    const auto elementary = ProbeMedia(output + "/cam_9.h264", "h264");
    const auto rows = static_cast<int>(index.size()) - 1;
    EXPECT_GT(elementary.decodedFrames, 0);
    // Both were flushed at the same moments; the video may be a second ahead at most.
    EXPECT_LE(rows, elementary.decodedFrames + 1);
    EXPECT_GE(rows + 30 + static_cast<int>(CameraRecording::kMaxPendingRows), elementary.decodedFrames);
    // The MP4 plays up to its last whole fragment, flushed at the same moments as the index.
    const auto mp4 = ProbeMedia(output + "/cam_9.mp4");
    ASSERT_TRUE(mp4.error.empty()) << mp4.error;
    EXPECT_GT(mp4.decodedFrames, 0);
    EXPECT_GE(mp4.decodedFrames + 30, rows);
    EXPECT_LE(mp4.decodedFrames, elementary.decodedFrames);
    for (const char* name : {"/summary.txt", "/contact_sheet.png"}) {
        const std::string path = output + name;
        EXPECT_TRUE(!std::filesystem::exists(path) || std::filesystem::file_size(path) > 0)
            << path << " exists but is empty";
    }
}

// A publisher that stops (SIGSTOP: paused, or hung) is reported silent after the silence timeout, in the live
// line and the summary, and a recording that ends while it is silent ends with status 3.
TEST_F(CameraRecordProcessTest, PublisherThatFallsSilentIsReportedAndTheRecordingEndsWithStatusThree) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    auto sut = Recorder({"--output", Scratch("silent"), "--cameras", "8"}, Scratch("silent.txt"));
    auto publisher =
        StartChild({RECORD_PUBLISHER, "600", "10", "30", std::to_string(kWidth), std::to_string(kHeight)},
                   Scratch("publisher_silent.txt"));
    ASSERT_TRUE(WaitForLiveFrames(Scratch("silent.txt"), "cam_8", std::chrono::seconds(30)))
        << ReadText(Scratch("silent.txt"));

    publisher.Signal(SIGSTOP);
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        camera_test::WaitForText(Scratch("silent.txt"), "| PUBLISHER SILENT for ", std::chrono::seconds(10)))
        << ReadText(Scratch("silent.txt"));
    // The default timeout is 2 s; the live line that says so comes once a second.
    EXPECT_GE(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(1500));
    sut.Signal(SIGTERM);

    EXPECT_EQ(sut.Wait(std::chrono::seconds(10)), kExitPublisherSilent) << ReadText(Scratch("silent.txt"));
    publisher.Signal(SIGKILL);
    const std::string text = ReadText(Scratch("silent.txt"));
    EXPECT_NE(text.find("the publisher has sent nothing for 2."), std::string::npos) << text;
    EXPECT_NE(text.find("camera_record: the publisher fell silent and did not come back"), std::string::npos)
        << text;
    const std::string summary = ReadText(Scratch("silent/summary.txt"));
    EXPECT_NE(summary.find(" publisher_silences=1 "), std::string::npos) << summary;
    EXPECT_NE(summary.find("publisher silent at the end: no sample for the last "), std::string::npos)
        << summary;
    EXPECT_GT(ProbeMedia(Scratch("silent/cam_8.h264"), "h264").decodedFrames, 0);
}

// A publisher that pauses for longer than the timeout and comes back: reported while silent and on its
// return, and the recording, which ends with the publisher active, ends with status 0.
TEST_F(CameraRecordProcessTest, PublisherThatComesBackIsCountedButDoesNotFailTheRecording) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    auto sut = Recorder(
        {"--output", Scratch("paused"), "--cameras", "8", "--frames", "60", "--silence-timeout", "0.8"},
        Scratch("paused.txt"));
    auto publisher = StartChild({RECORD_PUBLISHER, "90", "10", "30", std::to_string(kWidth),
                                 std::to_string(kHeight), "--pause-after", "20", "2500"},
                                Scratch("publisher_paused.txt"));

    EXPECT_EQ(sut.Wait(kRunTimeout), 0) << ReadText(Scratch("paused.txt"));
    EXPECT_EQ(publisher.Wait(kRunTimeout), 0) << ReadText(Scratch("publisher_paused.txt"));
    const std::string text = ReadText(Scratch("paused.txt"));
    EXPECT_NE(text.find("| PUBLISHER SILENT for "), std::string::npos) << text;
    EXPECT_NE(text.find("the publisher is back after 2."), std::string::npos) << text;
    const std::string summary = ReadText(Scratch("paused/summary.txt"));
    EXPECT_NE(summary.find(" publisher_silences=1 "), std::string::npos) << summary;
    EXPECT_EQ(summary.find("publisher silent at the end"), std::string::npos) << summary;
    EXPECT_NE(summary.find("cam_8 frames=60 "), std::string::npos) << summary;
}

// A recorder started again on the same directory: refused, the recording of before untouched; with
// --overwrite it records, and no file of the earlier recording's cameras stays behind.
TEST_F(CameraRecordProcessTest, ANonEmptyOutputIsRefusedUnlessOverwriteIsGiven) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    const std::string output = Scratch("again");
    auto first = Recorder({"--duration", "1", "--output", output, "--cameras", "8,9"}, Scratch("again1.txt"));
    ASSERT_EQ(first.Wait(kRunTimeout), 0) << ReadText(Scratch("again1.txt"));
    const std::string summary = ReadText(output + "/summary.txt");
    ASSERT_NE(summary.find("cam_9 frames=0"), std::string::npos) << summary;
    std::ofstream(output + "/cam_9.mp4") << "an earlier camera's file";
    std::ofstream(output + "/notes.txt") << "the operator's";

    auto refused = Recorder({"--duration", "1", "--output", output, "--cameras", "8"}, Scratch("again2.txt"));

    EXPECT_EQ(refused.Wait(std::chrono::seconds(10)), 1) << ReadText(Scratch("again2.txt"));
    EXPECT_NE(ReadText(Scratch("again2.txt"))
                  .find("camera_record: output directory " + output + " is not empty (4 entries, e.g. "),
              std::string::npos)
        << ReadText(Scratch("again2.txt"));
    EXPECT_EQ(ReadText(output + "/summary.txt"), summary);

    auto replaced = Recorder({"--duration", "1", "--output", output, "--cameras", "8", "--overwrite"},
                             Scratch("again3.txt"));
    EXPECT_EQ(replaced.Wait(kRunTimeout), 0) << ReadText(Scratch("again3.txt"));
    EXPECT_NE(
        ReadText(Scratch("again3.txt")).find("--overwrite: removed the 3 files of the previous recording"),
        std::string::npos)
        << ReadText(Scratch("again3.txt"));
    const std::string now = ReadText(output + "/summary.txt");
    EXPECT_EQ(now.find("\ncam_9 "), std::string::npos) << now;
    EXPECT_NE(now.find("cam_8 frames=0"), std::string::npos) << now;
    EXPECT_FALSE(std::filesystem::exists(output + "/cam_9.mp4"));
    EXPECT_EQ(ReadText(output + "/notes.txt"), "the operator's");
}

// Resident memory of the recorder in kB, from /proc; 0 when it is gone.
long ResidentKb(pid_t pid) {
    std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// Four cameras at 60 frames per second: after a warm-up, the recorder's resident memory stays flat however
// long it records (label soak; about a minute and a half).
TEST_F(CameraRecordProcessTest, SoakKeepsTheRecordersMemoryFlat) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    constexpr int kFps = 60;
    constexpr int kWarmUpSeconds = 15;
    constexpr int kMeasuredSeconds = 60;
    // From the first to the last quarter of the measured minute, at most this much more: far less than what a
    // per-frame record kept for the whole recording adds (a latency and the MP4 muxer's index entry came to
    // 1.1 to 1.3 MB a minute here, some 800 kB over those 45 s).
    constexpr long kGrowthKb = 256;
    auto sut = Recorder({"--output", Scratch("soak"), "--code-scale", "1"}, Scratch("soak.txt"));
    auto publisher =
        StartChild({RECORD_PUBLISHER, std::to_string(kFps * (kWarmUpSeconds + kMeasuredSeconds + 30)), "30",
                    std::to_string(kFps), "352", "288"},
                   Scratch("publisher_soak.txt"));
    ASSERT_TRUE(WaitForLiveFrames(Scratch("soak.txt"), "cam_11", std::chrono::seconds(60)))
        << ReadText(Scratch("soak.txt"));

    std::vector<long> residentKb;
    for (int second = 0; second < kWarmUpSeconds + kMeasuredSeconds; ++second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ASSERT_TRUE(sut.Running()) << ReadText(Scratch("soak.txt"));
        residentKb.push_back(ResidentKb(sut.Pid()));
    }
    sut.Signal(SIGTERM);
    EXPECT_EQ(sut.Wait(std::chrono::seconds(10)), 0) << ReadText(Scratch("soak.txt"));

    // Highs against highs: the decoders' and the muxer's buffers come and go within a second or two (a few
    // hundred kB), so the highest of the measurement's first quarter is set against that of its last.
    constexpr int kWindow = kMeasuredSeconds / 4;
    const auto measured = residentKb.begin() + kWarmUpSeconds;
    const long early = *std::max_element(measured, measured + kWindow);
    const long late = *std::max_element(residentKb.end() - kWindow, residentKb.end());
    std::string series;
    for (const long kb : residentKb) {
        series += " " + std::to_string(kb);
    }
    EXPECT_GT(early, 0);
    EXPECT_LT(late - early, kGrowthKb)
        << "resident memory grew from " << early << " kB to " << late << " kB; every second:" << series;
    std::cout << "recorder resident memory, kB per second:" << series << std::endl;
    const std::string summary = ReadText(Scratch("soak/summary.txt"));
    EXPECT_TRUE(std::regex_search(summary, std::regex("cam_11 frames=[0-9]{4,} "))) << summary;
    EXPECT_NE(summary.find("missed_samples=0 "), std::string::npos) << summary;
}

// RouDi dies under a running recorder (SIGKILL: no goodbye to its clients): the recorder sees it within
// about two seconds, says so, finishes its files and ends with status 1. Runs last: it ends the suite's
// RouDi.
TEST_F(CameraRecordProcessTest, RouDiKilledEndsTheRecorderWithStatusOne) {
    if (const std::string missing = RouDiUnavailable(); !missing.empty()) {
        FAIL() << "no RouDi of our own: " << missing;
    }
    auto sut = Recorder({"--output", Scratch("roudi_lost"), "--cameras", "8"}, Scratch("roudi_lost.txt"));
    ASSERT_TRUE(camera_test::WaitForText(Scratch("roudi_lost.txt"), "waiting for the publisher",
                                         std::chrono::seconds(20)))
        << ReadText(Scratch("roudi_lost.txt"));

    roudi_->Signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_EQ(sut.Wait(std::chrono::seconds(10)), 1) << ReadText(Scratch("roudi_lost.txt"));
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(3));
    const std::string text = ReadText(Scratch("roudi_lost.txt"));
    EXPECT_NE(
        text.find("[Transport][Lost, samples sent from now on reach no subscriber] [ShmRuntime] RouDi has "
                  "ended"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("camera_record: RouDi was lost"), std::string::npos) << text;
    EXPECT_NE(ReadText(Scratch("roudi_lost/summary.txt")).find("cam_8 frames=0"), std::string::npos);
}

}  // namespace
}  // namespace camera_record
