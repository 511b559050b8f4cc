#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

extern "C" {
#include <libavutil/frame.h>
}

#include "ara/log/logging.h"
#include "camera_recording.h"
#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "record_test_support.h"
#include "recorder.h"

namespace camera_record {
namespace {

using camera_test::ReadLines;
using test::EncodePattern;
using test::ProbeMedia;

constexpr std::int32_t kFirstSec = 1700000000;
constexpr std::int32_t kIntervalNs = 33000000;

ara::log::Logger& TestLogger() {
    return ara::log::CreateLogger("RECT", "recorder tests");
}

// Frame i of a camera: published stamp i x 33 ms after kFirstSec, received 5 ms later.
ReceivedFrame Received(const test::EncodedFrame& encoded, int i) {
    ReceivedFrame frame;
    frame.data = encoded.bytes.data();
    frame.size = encoded.bytes.size();
    const std::int64_t stampNs =
        static_cast<std::int64_t>(kFirstSec) * 1000000000 + std::int64_t{i} * kIntervalNs;
    frame.sec = static_cast<std::int32_t>(stampNs / 1000000000);
    frame.nsec = static_cast<std::int32_t>(stampNs % 1000000000);
    frame.keyFlag = encoded.key;
    frame.receiveRealtimeNs = stampNs + 5000000;
    frame.receiveMonotonicNs = std::int64_t{i} * kIntervalNs;
    return frame;
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma = line.find(','); comma != std::string::npos; comma = line.find(',', start)) {
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

class CameraRecordingTest : public ::testing::Test {
  protected:
    CameraRecording::Settings Settings(int platformId) const {
        CameraRecording::Settings settings;
        settings.platformId = platformId;
        settings.outputDirectory = directory_.Path();
        settings.codeScale = 1.0;
        return settings;
    }

    camera_test::TemporaryDirectory directory_ = camera_test::NewTestDirectory("camera_record_test_");
};

TEST_F(CameraRecordingTest, StartsAtTheFirstKeyFrameAndIndexesEveryRecordedFrameWithItsCode) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 14, 5);
    ASSERT_EQ(frames.size(), 14U);
    CameraRecording sut(Settings(9), TestLogger());

    // Joining mid-stream: frames 2 to 4 cannot be decoded and are skipped.
    for (int i = 2; i < 14; ++i) {
        sut.Add(Received(frames[static_cast<std::size_t>(i)], i));
    }
    sut.Finish();

    EXPECT_EQ(sut.SkippedBeforeKeyFrame(), 3U);
    EXPECT_EQ(sut.Recorded(), 9U);
    EXPECT_EQ(sut.Parameters().codec, VideoCodec::kH264);
    const auto lines = ReadLines(directory_.Path() + "/cam_9_index.csv");
    ASSERT_EQ(lines.size(), 10U);
    EXPECT_EQ(lines[0], "frame,stamp,key,bytes,latency_ms,frame_code,lost_before,damaged");
    for (std::size_t row = 0; row < 9; ++row) {
        const int i = static_cast<int>(row) + 5;
        const auto fields = Split(lines[row + 1]);
        ASSERT_EQ(fields.size(), 8U) << lines[row + 1];
        EXPECT_EQ(fields[0], std::to_string(row));
        const ReceivedFrame expected = Received(frames[static_cast<std::size_t>(i)], i);
        char stamp[32];
        std::snprintf(stamp, sizeof(stamp), "%d.%09d", expected.sec, expected.nsec);
        EXPECT_EQ(fields[1], stamp);
        EXPECT_EQ(fields[2], i % 5 == 0 ? "1" : "0");
        EXPECT_EQ(fields[3], std::to_string(frames[static_cast<std::size_t>(i)].bytes.size()));
        EXPECT_EQ(fields[4], "5.000");
        EXPECT_EQ(fields[5], std::to_string(i));
        EXPECT_EQ(fields[6], "0");
        EXPECT_EQ(fields[7], "0");
    }

    const auto elementary = ProbeMedia(directory_.Path() + "/cam_9.h264", "h264");
    EXPECT_EQ(elementary.decodedFrames, 9);
    const auto mp4 = ProbeMedia(directory_.Path() + "/cam_9.mp4");
    EXPECT_EQ(mp4.decodedFrames, 9);
    ASSERT_FALSE(mp4.codes.empty());
    EXPECT_EQ(mp4.codes.front(), 5U);

    const CameraSummary summary = sut.Stats().Summary();
    EXPECT_EQ(summary.frames, 9U);
    EXPECT_EQ(summary.keyFrames, 2U);
    EXPECT_EQ(summary.framesWithCode, 9U);
    EXPECT_EQ(summary.codeGaps, 0U);
    EXPECT_EQ(summary.codeDisorder, 0U);
    EXPECT_DOUBLE_EQ(summary.latencyP99Ms, 5.0);
    ASSERT_NE(sut.LatestPicture(), nullptr);
    EXPECT_EQ(sut.LatestPicture()->width, 480);
}

TEST_F(CameraRecordingTest, StopsAtItsFrameLimitAndLaterFramesLeaveNoTrace) {
    const auto frames = EncodePattern(VideoCodec::kH265, 480, 320, 8, 4);
    ASSERT_EQ(frames.size(), 8U);
    CameraRecording::Settings settings = Settings(10);
    settings.frameLimit = 4;
    CameraRecording sut(settings, TestLogger());

    for (int i = 0; i < 8; ++i) {
        sut.Add(Received(frames[static_cast<std::size_t>(i)], i));
        EXPECT_EQ(sut.ReachedLimit(), i >= 3) << i;
    }
    sut.Finish();

    EXPECT_EQ(ReadLines(directory_.Path() + "/cam_10_index.csv").size(), 5U);
    EXPECT_EQ(ProbeMedia(directory_.Path() + "/cam_10.h265", "hevc").decodedFrames, 4);
    EXPECT_EQ(ProbeMedia(directory_.Path() + "/cam_10.mp4").decodedFrames, 4);
    EXPECT_EQ(sut.Stats().Summary().frames, 4U);
}

TEST_F(CameraRecordingTest, AfterALossCodesAreReadAgainFromTheNextKeyFrameAndShowTheGap) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 14, 10);
    ASSERT_EQ(frames.size(), 14U);
    CameraRecording sut(Settings(8), TestLogger());

    // The transport lost frames 3 and 4. Frames 5 to 9 decode from the wrong references: a code read from
    // them could be any number.
    for (int i : {0, 1, 2, 5, 6, 7, 8, 9, 10, 11}) {
        if (i == 5) {
            sut.NoteStreamBreak();
        }
        sut.Add(Received(frames[static_cast<std::size_t>(i)], i));
    }
    sut.Finish();

    std::vector<std::string> codes;
    for (const auto& line : ReadLines(directory_.Path() + "/cam_8_index.csv")) {
        codes.push_back(Split(line)[5]);
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"frame_code", "0", "1", "2", "", "", "", "", "", "10", "11"}));
    EXPECT_EQ(sut.Stats().Summary().codeGaps, 2U);
    EXPECT_EQ(sut.Stats().Summary().codeDisorder, 0U);
}

// Frames of one camera lost with no word from the transport (another camera's samples all came): its own
// stream numbering shows the loss, and every frame up to the next key frame is damaged.
TEST_F(CameraRecordingTest, FramesLostOfThisCameraAloneAreCountedAndTheFramesAfterThemMarkedDamaged) {
    for (const VideoCodec codec : {VideoCodec::kH264, VideoCodec::kH265}) {
        SCOPED_TRACE(CodecName(codec));
        const auto frames = EncodePattern(codec, 480, 320, 24, 8);
        ASSERT_EQ(frames.size(), 24U);
        CameraRecording::Settings settings = Settings(codec == VideoCodec::kH264 ? 9 : 10);
        CameraRecording sut(settings, TestLogger());

        for (int i = 0; i < 24; ++i) {
            if (i == 3 || i == 4 || i == 5 || i == 17) {
                continue;
            }
            sut.Add(Received(frames[static_cast<std::size_t>(i)], i));
        }
        sut.Finish();

        std::vector<std::string> lost;
        std::vector<std::string> damaged;
        std::vector<std::string> codes;
        for (const auto& line : ReadLines(directory_.Path() + "/" + sut.Name() + "_index.csv")) {
            const auto fields = Split(line);
            ASSERT_EQ(fields.size(), 8U) << line;
            codes.push_back(fields[5]);
            lost.push_back(fields[6]);
            damaged.push_back(fields[7]);
        }
        // Received: 0-2, 6-16, 18-23.
        EXPECT_EQ(lost,
                  (std::vector<std::string>{"lost_before", "0", "0", "0", "3", "0", "0", "0", "0", "0", "0",
                                            "0",           "0", "0", "0", "1", "0", "0", "0", "0", "0"}));
        EXPECT_EQ(damaged,
                  (std::vector<std::string>{"damaged", "0", "0", "0", "1", "1", "0", "0", "0", "0", "0",
                                            "0",       "0", "0", "0", "1", "1", "1", "1", "1", "1"}));
        // A damaged picture's code could be any number: none is read from it.
        EXPECT_EQ(codes[4], "");
        EXPECT_EQ(codes[6], "8");
        EXPECT_EQ(codes[15], "");
        const CameraSummary summary = sut.Stats().Summary();
        EXPECT_EQ(summary.lostFrames, 4U);
        EXPECT_EQ(summary.damagedFrames, 8U);
    }
}

TEST_F(CameraRecordingTest, FilesThatCannotBeCreatedStopOnlyThisCamera) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 2, 30);
    ASSERT_EQ(frames.size(), 2U);
    CameraRecording::Settings settings = Settings(11);
    settings.outputDirectory = directory_.Path() + "/missing";
    CameraRecording sut(settings, TestLogger());

    sut.Add(Received(frames[0], 0));
    sut.Add(Received(frames[1], 1));
    sut.Finish();

    EXPECT_NE(sut.Failure().find("/missing/cam_11"), std::string::npos) << sut.Failure();
    EXPECT_EQ(sut.Recorded(), 0U);
    EXPECT_EQ(sut.LatestPicture(), nullptr);
}

TEST_F(CameraRecordingTest, RecorderRoutesCamerasAndWritesSummaryAndContactSheet) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 6, 3);
    ASSERT_EQ(frames.size(), 6U);
    RecorderOptions options;
    options.outputDirectory = directory_.Path();
    options.cameras = {8, 10};
    options.framesPerCamera = 6;
    options.codeScale = 1.0;
    Recorder sut(options, TestLogger());

    for (int i = 0; i < 6; ++i) {
        sut.Add(0, Received(frames[static_cast<std::size_t>(i)], i));
        EXPECT_FALSE(sut.AllReachedLimit());
        sut.Add(2, Received(frames[static_cast<std::size_t>(i)], i));
    }
    sut.Add(1, Received(frames[0], 0));  // cam_9 is not recorded
    sut.Add(7, Received(frames[0], 0));  // no such camera
    EXPECT_TRUE(sut.AllReachedLimit());
    const std::string summary = sut.Finish(2.0, 3, 1);

    EXPECT_FALSE(sut.OutputsIncomplete());
    EXPECT_EQ(camera_test::ReadText(directory_.Path() + "/summary.txt"), summary);
    EXPECT_NE(summary.find("cam_8 frames=6 key_frames=2 "), std::string::npos) << summary;
    EXPECT_NE(summary.find("cam_10 frames=6 key_frames=2 "), std::string::npos) << summary;
    EXPECT_EQ(summary.find("\ncam_9 "), std::string::npos) << summary;
    EXPECT_NE(summary.find("codec=h264 size=480x320"), std::string::npos) << summary;
    EXPECT_NE(summary.find("missed_samples=3 undecodable_samples=1 other_camera_samples=2"),
              std::string::npos)
        << summary;
    EXPECT_TRUE(std::filesystem::exists(directory_.Path() + "/cam_10.mp4"));
    EXPECT_FALSE(std::filesystem::exists(directory_.Path() + "/cam_9.mp4"));
    const std::string png = camera_test::ReadText(directory_.Path() + "/contact_sheet.png");
    ASSERT_GT(png.size(), 24U);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x05\0\0\0\x02\xd0", 8));  // 1280 x 720
}

TEST_F(CameraRecordingTest, RecorderLiveLineTellsAPublisherNotYetHeardFromOneFallenSilent) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 2, 30);
    ASSERT_EQ(frames.size(), 2U);
    RecorderOptions options;
    options.outputDirectory = directory_.Path();
    options.cameras = {9};
    Recorder sut(options, TestLogger());

    const std::string waiting = sut.LiveLine(1.0, 1.0, 0);
    sut.Add(1, Received(frames[0], 0));
    sut.Add(1, Received(frames[1], 1));
    const std::string active = sut.LiveLine(2.0, 0.5, 0);
    const std::string silent = sut.LiveLine(3.0, 1.0, 0);

    EXPECT_NE(waiting.find("| waiting for the publisher"), std::string::npos) << waiting;
    EXPECT_NE(active.find("cam_9  4.0 fps"), std::string::npos) << active;
    EXPECT_EQ(active.find("| waiting"), std::string::npos) << active;
    EXPECT_EQ(active.find("| no samples"), std::string::npos) << active;
    EXPECT_NE(silent.find("cam_9  0.0 fps"), std::string::npos) << silent;
    EXPECT_NE(silent.find("| no samples"), std::string::npos) << silent;
}

TEST_F(CameraRecordingTest, RecorderReportsAPublisherSilentAfterTheTimeoutUntilItIsHeardAgain) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 3, 30);
    ASSERT_EQ(frames.size(), 3U);
    RecorderOptions options;
    options.outputDirectory = directory_.Path();
    options.cameras = {8};
    options.silenceTimeoutSeconds = 1.5;
    Recorder sut(options, TestLogger());
    constexpr std::int64_t kSecond = 1000000000;

    sut.CheckSilence(10 * kSecond);  // nothing heard yet: waiting, not silent
    EXPECT_FALSE(sut.PublisherSilent());
    ReceivedFrame frame = Received(frames[0], 0);
    frame.receiveMonotonicNs = 10 * kSecond;
    sut.Add(0, frame);
    sut.LiveLine(1.0, 1.0, 0);
    sut.CheckSilence(11 * kSecond + kSecond / 2 - 1);
    EXPECT_FALSE(sut.PublisherSilent());
    const std::string quiet = sut.LiveLine(2.0, 1.0, 0);
    sut.CheckSilence(11 * kSecond + kSecond / 2);
    EXPECT_TRUE(sut.PublisherSilent());
    sut.CheckSilence(13 * kSecond);
    const std::string silent = sut.LiveLine(3.0, 1.0, 0);
    sut.NoteHeard(14 * kSecond);  // an unreadable sample is the publisher too
    EXPECT_FALSE(sut.PublisherSilent());
    sut.CheckSilence(16 * kSecond);  // silent again
    const std::string summary = sut.Finish(6.0, 0, 0);

    EXPECT_NE(quiet.find("| no samples"), std::string::npos) << quiet;
    EXPECT_NE(silent.find("| PUBLISHER SILENT for 3.0 s"), std::string::npos) << silent;
    EXPECT_EQ(sut.PublisherSilences(), 2U);
    EXPECT_TRUE(sut.PublisherSilent());
    EXPECT_NE(summary.find(" publisher_silences=2 "), std::string::npos) << summary;
    EXPECT_NE(summary.find("publisher silent at the end: no sample for the last 2.0 s"), std::string::npos)
        << summary;
}

TEST_F(CameraRecordingTest, RecorderSaysSoWhenItsOutputsCannotBeWritten) {
    const auto frames = EncodePattern(VideoCodec::kH264, 480, 320, 1, 30);
    ASSERT_EQ(frames.size(), 1U);
    RecorderOptions options;
    options.outputDirectory = directory_.Path() + "/missing";
    Recorder sut(options, TestLogger());
    sut.Add(0, Received(frames[0], 0));

    const std::string summary = sut.Finish(1.0, 0, 0);

    EXPECT_TRUE(sut.OutputsIncomplete());
    EXPECT_NE(summary.find("cam_8 not recorded: "), std::string::npos) << summary;
}

}  // namespace
}  // namespace camera_record
