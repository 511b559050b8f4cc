#include <gtest/gtest.h>

#include "recorder_report.h"

namespace camera_record {
namespace {

TEST(RecorderReportTest, LiveLineShowsEveryCameraTheLatencyOfAllAndWaitsVisiblyForThePublisher) {
    WindowFigures active;
    active.frames = 30;
    active.keyFrames = 1;
    active.fps = 30.0;
    active.bitRateKbps = 2100.0;
    active.latenciesMs = {4.0, 2.0};
    active.lostFrames = 2;
    active.damagedFrames = 7;
    WindowFigures idle;
    idle.latenciesMs = {9.0};

    EXPECT_EQ(
        FormatLiveLine(3.0, {{"cam_8", active, 0, ""}, {"cam_9", idle, 0, ""}}, 2, PublisherState::kActive),
        "[   3 s] cam_8 30.0 fps  2.10 Mbit/s 1 key 2 lost 7 damaged | cam_9  0.0 fps  0.00 Mbit/s 0 key | "
        "latency p50 4.0 ms "
        "max 9.0 ms | missed 2");
    EXPECT_EQ(
        FormatLiveLine(1.0, {{"cam_8", WindowFigures(), 0, ""}}, 0, PublisherState::kWaiting),
        "[   1 s] cam_8  0.0 fps  0.00 Mbit/s 0 key | latency - | missed 0 | waiting for the publisher");
    EXPECT_EQ(FormatLiveLine(9.0, {{"cam_8", WindowFigures(), 0, ""}}, 0, PublisherState::kQuiet),
              "[   9 s] cam_8  0.0 fps  0.00 Mbit/s 0 key | latency - | missed 0 | no samples");
    EXPECT_EQ(
        FormatLiveLine(12.0, {{"cam_8", WindowFigures(), 0, ""}}, 0, PublisherState::kSilent, 4.26),
        "[  12 s] cam_8  0.0 fps  0.00 Mbit/s 0 key | latency - | missed 0 | PUBLISHER SILENT for 4.3 s");
    // Failed writes are seen while they happen, not only in the summary.
    EXPECT_EQ(
        FormatLiveLine(
            4.0,
            {{"cam_8", WindowFigures(), 3, "disk full (No space left on device)"}, {"cam_9", active, 1, ""}},
            0, PublisherState::kActive),
        "[   4 s] cam_8  0.0 fps  0.00 Mbit/s 0 key 3 write errors STOPPED: disk full (No space left on "
        "device) | cam_9 30.0 fps  2.10 Mbit/s 1 key 2 lost 7 damaged 1 write errors | latency p50 2.0 ms "
        "max 4.0 ms | "
        "missed 0");
}

TEST(RecorderReportTest, SummaryHasOneKeyValueLinePerCameraAndTheEventWideFigures) {
    RecordingReport report;
    report.elapsedSeconds = 10.04;
    report.entityId = 35045;
    report.outputDirectory = "out/record";
    CameraReport camera;
    camera.name = "cam_8";
    camera.codec = "h264";
    camera.width = 1280;
    camera.height = 720;
    camera.summary.frames = 300;
    camera.summary.keyFrames = 10;
    camera.summary.fps = 29.97;
    camera.summary.bitRateKbps = 2104.26;
    camera.summary.latencyP50Ms = 4.2;
    camera.summary.latencyP99Ms = 9.8;
    camera.summary.latencyMaxMs = 12.0;
    camera.summary.framesWithCode = 300;
    camera.summary.lostFrames = 2;
    camera.summary.damagedFrames = 9;
    report.cameras.push_back(camera);
    report.missedSamples = 1;
    report.publisherRestarts = 1;
    report.contactSheet = "out/record/contact_sheet.png";

    EXPECT_EQ(
        FormatSummary(report),
        "camera_record summary: 10.0 s, event 35045, output out/record\n"
        "cam_8 frames=300 key_frames=10 fps=29.97 bitrate_kbps=2104.3 latency_p50_ms=4.20 "
        "latency_p99_ms=9.80 "
        "latency_max_ms=12.00 decode_errors=0 write_errors=0 codec=h264 size=1280x720 skipped_before_key=0 "
        "coded_frames=300 code_gaps=0 code_disorder=0 lost_frames=2 damaged_frames=9\n"
        "missed_samples=1 undecodable_samples=0 other_camera_samples=0 publisher_restarts=1 "
        "publisher_silences=0 (event-wide, all cameras together)\n"
        "contact sheet: out/record/contact_sheet.png (cam_8 top-left, cam_9 top-right, cam_10 bottom-left, "
        "cam_11 bottom-right)\n");
}

TEST(RecorderReportTest, SummarySaysWhenThePublisherWasSilentAtTheEnd) {
    RecordingReport report;
    report.publisherSilences = 2;
    report.silentAtEndSeconds = 7.25;

    const std::string sut = FormatSummary(report);

    EXPECT_NE(sut.find(" publisher_silences=2 (event-wide"), std::string::npos) << sut;
    EXPECT_NE(sut.find("\npublisher silent at the end: no sample for the last 7.2 s of the recording\n"),
              std::string::npos)
        << sut;
}

}  // namespace
}  // namespace camera_record
