#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/eventually.h"
#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "camera_test/roudi_process.h"
#include "e2e_system.h"
#include "ffmpeg/handles.h"
#include "process_usage.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;
using camera_test::ChildProcess;
using camera_test::Eventually;
using camera_test::ReadText;

// Decodes an Annex-B H.264 file with libavcodec; the decoded pictures' sizes and picture types.
struct Decoded {
    int width;
    int height;
    bool intra;
};

std::vector<Decoded> decodeFile(const std::string& path) {
    std::vector<Decoded> pictures;
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) != 0) {
        return pictures;
    }
    const ffmpeg::InputContextPtr format(opened);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    const ffmpeg::CodecContextPtr context(avcodec_alloc_context3(codec));
    const ffmpeg::PacketPtr packet(av_packet_alloc());
    const ffmpeg::FramePtr frame(av_frame_alloc());
    const auto drain = [&] {
        while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
            pictures.push_back({frame->width, frame->height, frame->pict_type == AV_PICTURE_TYPE_I});
        }
    };
    if (avformat_find_stream_info(format.get(), nullptr) >= 0 &&
        avcodec_parameters_to_context(context.get(), format->streams[0]->codecpar) >= 0 &&
        avcodec_open2(context.get(), codec, nullptr) == 0) {
        while (av_read_frame(format.get(), packet.get()) == 0) {
            if (avcodec_send_packet(context.get(), packet.get()) == 0) {
                drain();
            }
            av_packet_unref(packet.get());
        }
        avcodec_send_packet(context.get(), nullptr);
        drain();
    }
    return pictures;
}

// A running system: RouDi (ours, or the one that runs), the recorder as the subscriber in a process of its
// own (a process connected to RouDi is sent SIGTERM when RouDi stops, so the test process never connects),
// and the application.
class RunningSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto roudi = camera_test::RouDiProcess::Start(IOX_ROUDI_BINARY, PROJECT_CONFIG_DIR "/roudi.toml", "",
                                                      camera_test::RouDiPolicy::kUseRunning);
        ASSERT_TRUE(roudi) << roudi.Error().message;
        roudi_ = std::move(roudi).Value();
        dir_ = writeConfiguration(directory_.Path(), kGop);
    }

    void startRecorder(int seconds) {
        recorder_ = runRecorder(dir_, {"--duration", std::to_string(seconds)});
        // The recorder subscribes before the application offers, so that it sees the first frames.
        ASSERT_TRUE(waitForLog(dir_ + "/recorder.out", "waiting for the publisher", 20s))
            << ReadText(dir_ + "/recorder.err");
    }

    // SIGTERM while the cameras stream: the process must end cleanly within two seconds.
    void stopApplication() {
        const auto start = std::chrono::steady_clock::now();
        app_.Signal(SIGTERM);
        EXPECT_EQ(app_.Wait(10s), 0) << ReadText(dir_ + "/app.err").substr(0, 4000);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }

    // Until the cameras have kept the process busy for a second of CPU time: under load, whatever the
    // machine's speed.
    void waitUntilBusy() {
        const double start = camera_tools::processCpuSecondsOf(app_.Pid());
        ASSERT_TRUE(Eventually(
            [&] { return !app_.Running() || camera_tools::processCpuSecondsOf(app_.Pid()) > start + 1.0; },
            30s, 50ms));
        ASSERT_TRUE(app_.Running()) << ReadText(dir_ + "/app.err").substr(0, 4000);
    }

    static constexpr std::uint32_t kGop = 10;
    camera_test::RouDiProcess roudi_;
    camera_test::TemporaryDirectory directory_ = testDirectory();
    std::string dir_;
    ChildProcess recorder_;
    ChildProcess app_;
};

TEST_F(RunningSystemTest, EveryCameraStreamsDecodableFramesAtTheGopRhythm) {
    ASSERT_NO_FATAL_FAILURE(startRecorder(6));
    app_ = startApplication(dir_);
    ASSERT_EQ(recorder_.Wait(60s), 0) << ReadText(dir_ + "/recorder.err").substr(0, 4000);
    ASSERT_TRUE(app_.Running()) << ReadText(dir_ + "/app.err").substr(0, 4000);
    stopApplication();

    const std::string summary = ReadText(dir_ + "/record/summary.txt");
    EXPECT_NE(summary.find("missed_samples=0 "), std::string::npos) << summary;
    const std::string err = ReadText(dir_ + "/app.err");
    EXPECT_EQ(err.find("[error]"), std::string::npos) << err.substr(err.find("[error]"), 2000);
    EXPECT_EQ(err.find("[fatal]"), std::string::npos) << err.substr(err.find("[fatal]"), 2000);
    for (int id = 8; id < 12; ++id) {
        SCOPED_TRACE("camera " + std::to_string(id));
        const std::string prefix = dir_ + "/record/cam_" + std::to_string(id);
        const std::vector<IndexRow> rows = readIndex(prefix + "_index.csv");
        ASSERT_GE(rows.size(), 2U * kFramesPerSecond) << summary;

        // Frame count against the time the camera streamed (published stamps, platform clock).
        const double seconds = static_cast<double>(rows.back().stampNs - rows.front().stampNs) / 1e9;
        const double expected = seconds * kFramesPerSecond + 1;
        EXPECT_NEAR(static_cast<double>(rows.size()), expected, expected * 0.1);

        // The recording starts at a key frame; key frames then follow exactly every kGop published frames.
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].isKeyFrame, i % kGop == 0) << "frame " << i;
            if (i > 0) {
                EXPECT_GT(rows[i].stampNs, rows[i - 1].stampNs) << "frame " << i;
            }
        }

        // The pattern's frame number only grows: frames may be dropped (newest wins), never repeated or
        // reordered. (The recorder reads it from pictures of at least two thirds of the camera's size.)
        std::optional<std::uint32_t> previous;
        for (std::size_t i = 0; i < rows.size() && outputWidth(id) >= 1280; ++i) {
            ASSERT_TRUE(rows[i].frameCode.has_value()) << "frame " << i;
            if (previous) {
                EXPECT_GT(*rows[i].frameCode, *previous) << "frame " << i;
            }
            previous = rows[i].frameCode;
        }

        const std::vector<Decoded> pictures = decodeFile(prefix + ".h264");
        ASSERT_EQ(pictures.size(), rows.size());
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_EQ(pictures[i].width, outputWidth(id)) << "frame " << i;
            EXPECT_EQ(pictures[i].height, outputHeight(id)) << "frame " << i;
            EXPECT_EQ(pictures[i].intra, rows[i].isKeyFrame) << "frame " << i;
        }
    }
}

// Under full load (all cameras undistorting and encoding), SIGTERM ends the process cleanly: status 0 within
// two seconds, teardown without sanitizer reports. Runs in the sanitizer builds too.
TEST_F(RunningSystemTest, SigtermUnderLoadEndsCleanlyWithinTwoSeconds) {
    app_ = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << ReadText(dir_ + "/app.err").substr(0, 4000);
    ASSERT_NO_FATAL_FAILURE(waitUntilBusy());
    stopApplication();
    const std::string err = ReadText(dir_ + "/app.err");
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err.substr(err.find("Sanitizer"), 4000);
    EXPECT_EQ(err.find("runtime error"), std::string::npos);
    EXPECT_NE(err.find("cameras stopped"), std::string::npos);
    EXPECT_NE(err.find("[Stop offer service][service=/kestrova/ap/Service/instance/Visualization"),
              std::string::npos);
}

// A minute at four times 30 frames per second: resident memory stays flat after the warm-up and nothing
// goes wrong.
TEST_F(RunningSystemTest, SoakKeepsMemoryFlatAndLogsNoErrors) {
    ASSERT_NO_FATAL_FAILURE(startRecorder(100));
    app_ = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 30s));
    // Warm-up: ten seconds of the last camera's frames recorded; then the next minute's frames, the resident
    // memory read twice a second meanwhile.
    const std::string index = dir_ + "/record/cam_11_index.csv";
    ASSERT_TRUE(Eventually([&] { return lineCount(index) > 10U * kFramesPerSecond; }, 60s, 500ms))
        << ReadText(dir_ + "/recorder.out");
    const long warm = residentKb(app_.Pid());
    long highest = warm;
    const std::size_t end = lineCount(index) + 60U * kFramesPerSecond;
    const bool recorded = Eventually(
        [&] {
            highest = std::max(highest, residentKb(app_.Pid()));
            return !app_.Running() || lineCount(index) >= end;
        },
        120s, 500ms);
    ASSERT_TRUE(app_.Running()) << ReadText(dir_ + "/app.err").substr(0, 4000);
    EXPECT_TRUE(recorded) << ReadText(dir_ + "/recorder.out");
    // The recorder first, while the cameras still stream: a recorder that outlives its publisher says so
    // with its exit status.
    recorder_.Signal(SIGTERM);
    EXPECT_EQ(recorder_.Wait(10s), 0);
    stopApplication();
    EXPECT_GT(warm, 0);
    EXPECT_LT(static_cast<double>(highest), warm * 1.02)
        << "resident memory grew from " << warm << " kB to " << highest << " kB";
    const std::string err = ReadText(dir_ + "/app.err");
    EXPECT_EQ(err.find("[error]"), std::string::npos) << err.substr(err.find("[error]"), 2000);
    EXPECT_EQ(err.find("[fatal]"), std::string::npos);
}

// A second SIGTERM or SIGINT while the system stops ends it at once, with 128 + the signal: the way out of a
// stop that hangs. (Two different signals: two of a kind could merge into one pending signal.)
TEST_F(RunningSystemTest, SecondSignalWhileStoppingEndsAtOnceWithFailure) {
    app_ = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << ReadText(dir_ + "/app.err").substr(0, 4000);
    app_.Signal(SIGTERM);
    app_.Signal(SIGINT);
    const int status = app_.Wait(5s);
    EXPECT_TRUE(status == 128 + SIGINT || status == 128 + SIGTERM) << status;
    EXPECT_TRUE(waitForLog(dir_ + "/app.err", "while stopping: ending at once with status", 1s));
}

// Started with standard output and error closed, the process must not let logging's FIFO or a lock file
// take descriptors 1 and 2 (they would receive "GetData" and the log lines).
TEST_F(RunningSystemTest, ClosedStandardDescriptorsAreFilledWithDevNull) {
    camera_test::SpawnOptions closed;
    closed.environment = {{"CM_CONFIG_FILE_PATH", dir_}};
    closed.closeOutput = true;
    ChildProcess app = camera_test::StartChild({CAMERA_DRIVING_BINARY}, closed);
    const auto target = [&app](int fd) {
        char link[256] = {};
        const std::string path = "/proc/" + std::to_string(app.Pid()) + "/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(path.c_str(), link, sizeof(link) - 1);
        return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
    };
    // Streaming (a second of CPU time spent): by then logging and the transport have opened all they open.
    ASSERT_TRUE(Eventually(
        [&app] { return !app.Running() || camera_tools::processCpuSecondsOf(app.Pid()) > 1.0; }, 30s, 50ms));
    ASSERT_TRUE(app.Running());
    EXPECT_EQ(target(STDOUT_FILENO), "/dev/null");
    EXPECT_EQ(target(STDERR_FILENO), "/dev/null");
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(10s), 0);
}

}  // namespace
