#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "camera_test/roudi_process.h"
#include "ffmpeg/handles.h"
#include "lens_model.h"

namespace {

using namespace std::chrono_literals;
using camera_test::ChildProcess;
using camera_test::ReadText;

constexpr int kFramesPerSecond = 30;

// Camera 9 streams a smaller picture than the others.
int outputWidth(int id) {
    return id == 9 ? 640 : 1280;
}
int outputHeight(int id) {
    return id == 9 ? 360 : 720;
}

std::string cameraSection(int id, std::uint32_t gop, bool undistort) {
    std::string text =
        "[cam_" + std::to_string(id) +
        "]\ninputImageWidth = 1920\ninputImageHeight = 1080\noutputImageWidth = " +
        std::to_string(outputWidth(id)) + "\noutputImageHeight = " + std::to_string(outputHeight(id)) +
        "\ncropTopOffset = 0\ncropLeftOffset = 0\nencoderGopNumber = " + std::to_string(gop) + "\n";
    if (undistort) {
        text += "remapFilePathX = maps/cam_" + std::to_string(id) + "_x.bin\nremapFilePathY = maps/cam_" +
                std::to_string(id) + "_y.bin\n";
    }
    return text;
}

// A configuration directory as the application expects it, cameras 8 and 10 undistorting.
std::string writeConfiguration(const std::string& dir, std::uint32_t gop) {
    std::string ini;
    for (int id = 8; id < 12; ++id) {
        ini += cameraSection(id, gop, id == 8 || id == 10) + "\n";
    }
    EXPECT_TRUE(camera_test::WriteFile(dir + "/aos_a_cam_config.ini", ini));
    EXPECT_TRUE(camera_test::WriteFile(dir + "/cm_deployment.json",
                                       ReadText(PROJECT_CONFIG_DIR "/cm_deployment.json")));
    ::mkdir((dir + "/maps").c_str(), 0755);
    const lens::Intrinsics camera{1300, 1300, 959.5, 539.5};
    const lens::UndistortMaps maps =
        lens::makeUndistortMaps(1920, 1080, camera, {-0.18, 0.05, 0, 0, 0}, camera);
    for (int id : {8, 10}) {
        const std::string prefix = dir + "/maps/cam_" + std::to_string(id);
        EXPECT_TRUE(lens::writeMapFiles(maps, prefix + "_x.bin", prefix + "_y.bin").HasValue());
    }
    return dir;
}

// A child with `environment` added, its standard output and error in two files.
ChildProcess start(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& environment, const std::string& outFile,
                   const std::string& errFile) {
    camera_test::SpawnOptions options;
    options.environment = environment;
    options.outputFile = outFile;
    options.errorFile = errFile;
    return camera_test::StartChild(argv, options);
}

// The application, started in `dir` (map paths are relative to it) with `dir` as its configuration.
ChildProcess startApplication(const std::string& dir, std::map<std::string, std::string> environment = {}) {
    const std::string chdirAndRun = "cd " + dir + " && exec " + CAMERA_DRIVING_BINARY;
    environment.emplace("CM_CONFIG_FILE_PATH", dir);
    environment.emplace("ARA_LOG_MODE", "console");
    return start({"/bin/sh", "-c", chdirAndRun}, environment, dir + "/app.out", dir + "/app.err");
}

// The recorder writing into `dir`/record with `dir`'s manifest; its output in `dir`/recorder.{out,err}.
ChildProcess runRecorder(const std::string& dir, std::vector<std::string> options) {
    std::vector<std::string> argv{CAMERA_RECORD_BINARY, "--output", dir + "/record", "--manifest",
                                  dir + "/cm_deployment.json"};
    argv.insert(argv.end(), options.begin(), options.end());
    return start(argv, {{"ARA_LOG_MODE", "console"}}, dir + "/recorder.out", dir + "/recorder.err");
}

// A directory of the running test's own, removed when the test ends.
camera_test::TemporaryDirectory testDirectory() {
    return camera_test::NewTestDirectory(
        std::string("e2e_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_");
}

// Resident memory of a process in kB, 0 when it cannot be read.
long residentKb(pid_t pid) {
    std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

bool waitForLog(const std::string& path, const std::string& fragment, std::chrono::seconds timeout) {
    return camera_test::WaitForText(path, fragment, timeout);
}

TEST(ApplicationConfiguration, EachErrorEndsTheProcessWithStatusOneBeforeAnythingStarts) {
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
TEST(ApplicationConfiguration, ConfigurationThatIsAFifoIsRefusedAtOnce) {
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

// One line of a recorder index: frame,stamp,key,bytes,latency_ms,frame_code.
struct IndexRow {
    std::int64_t stampNs;
    bool isKeyFrame;
    std::optional<std::uint32_t> frameCode;
};

std::vector<IndexRow> readIndex(const std::string& path) {
    std::vector<IndexRow> rows;
    std::istringstream lines(ReadText(path));
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) {
            fields.push_back(cell);
        }
        if (fields.size() < 5) {
            continue;
        }
        const std::size_t dot = fields[1].find('.');
        IndexRow row{
            std::stoll(fields[1].substr(0, dot)) * 1000000000 + std::stoll(fields[1].substr(dot + 1)),
            fields[2] == "1", std::nullopt};
        if (fields.size() > 5 && !fields[5].empty()) {
            row.frameCode = static_cast<std::uint32_t>(std::stoul(fields[5]));
        }
        rows.push_back(row);
    }
    return rows;
}

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
class RunningSystem : public ::testing::Test {
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

    static constexpr std::uint32_t kGop = 10;
    camera_test::RouDiProcess roudi_;
    camera_test::TemporaryDirectory directory_ = testDirectory();
    std::string dir_;
    ChildProcess recorder_;
    ChildProcess app_;
};

TEST_F(RunningSystem, EveryCameraStreamsDecodableFramesAtTheGopRhythm) {
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
TEST_F(RunningSystem, SigtermUnderLoadEndsCleanlyWithinTwoSeconds) {
    app_ = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << ReadText(dir_ + "/app.err").substr(0, 4000);
    std::this_thread::sleep_for(1s);
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
TEST_F(RunningSystem, SoakKeepsMemoryFlatAndLogsNoErrors) {
    ASSERT_NO_FATAL_FAILURE(startRecorder(100));
    app_ = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 30s));
    std::this_thread::sleep_for(10s);
    const long warm = residentKb(app_.Pid());
    long highest = warm;
    for (int second = 0; second < 60; ++second) {
        std::this_thread::sleep_for(1s);
        ASSERT_TRUE(app_.Running());
        highest = std::max(highest, residentKb(app_.Pid()));
    }
    stopApplication();
    recorder_.Signal(SIGTERM);
    EXPECT_EQ(recorder_.Wait(10s), 0);
    EXPECT_GT(warm, 0);
    EXPECT_LT(static_cast<double>(highest), warm * 1.02)
        << "resident memory grew from " << warm << " kB to " << highest << " kB";
    const std::string err = ReadText(dir_ + "/app.err");
    EXPECT_EQ(err.find("[error]"), std::string::npos) << err.substr(err.find("[error]"), 2000);
    EXPECT_EQ(err.find("[fatal]"), std::string::npos);
}

// A second SIGTERM or SIGINT while the system stops ends it at once, with 128 + the signal: the way out of a
// stop that hangs. (Two different signals: two of a kind could merge into one pending signal.)
TEST_F(RunningSystem, SecondSignalWhileStoppingEndsAtOnceWithFailure) {
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
TEST_F(RunningSystem, ClosedStandardDescriptorsAreFilledWithDevNull) {
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
    // Until the cameras stream, by then logging and the transport have opened all they open.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline && app.Running() &&
           ReadText("/proc/" + std::to_string(app.Pid()) + "/status").find("Threads:\t1\n") !=
               std::string::npos) {
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(app.Running());
    EXPECT_EQ(target(STDOUT_FILENO), "/dev/null");
    EXPECT_EQ(target(STDERR_FILENO), "/dev/null");
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(10s), 0);
}

// A RouDi of the test's own, which the test stops, kills and restarts; it cannot share a running one.
class RouDiFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(startRouDi());
        dir_ = writeConfiguration(directory_.Path(), kGop);
    }
    void TearDown() override { roudi_.Signal(SIGCONT); }

    void startRouDi() {
        auto roudi = camera_test::RouDiProcess::Start(IOX_ROUDI_BINARY, PROJECT_CONFIG_DIR "/roudi.toml");
        ASSERT_TRUE(roudi) << roudi.Error().message;
        roudi_ = std::move(roudi).Value();
    }

    static constexpr std::uint32_t kGop = 10;
    camera_test::RouDiProcess roudi_;
    camera_test::TemporaryDirectory directory_ = testDirectory();
    std::string dir_;
};

// A RouDi that does not answer (stopped): the wait has a limit, and SIGTERM ends the wait at once with a
// clean status 0.
TEST_F(RouDiFaults, WaitForAStoppedRouDiHasALimitAndEndsOnSigterm) {
    roudi_.Signal(SIGSTOP);
    auto limited = startApplication(dir_, {{"VRT_CM_ROUDI_WAIT_S", "1.5"}});
    EXPECT_EQ(limited.Wait(15s), 1);
    std::string err = ReadText(dir_ + "/app.err");
    EXPECT_NE(err.find("RouDi did not answer within 1.500 s (VRT_CM_ROUDI_WAIT_S)"), std::string::npos)
        << err;

    auto waiting = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "start main!", 10s));
    std::this_thread::sleep_for(1s);
    const auto start = std::chrono::steady_clock::now();
    waiting.Signal(SIGTERM);
    EXPECT_EQ(waiting.Wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    err = ReadText(dir_ + "/app.err");
    EXPECT_NE(err.find("the wait for RouDi was cancelled: the process is stopping"), std::string::npos)
        << err;
    EXPECT_NE(err.find("stopped during start-up"), std::string::npos) << err;
}

// A signal as early as it can be handled (as soon as the process blocks it, before logging or the
// configuration) ends the process cleanly with status 0.
TEST_F(RouDiFaults, SignalInTheFirstMillisecondsEndsCleanly) {
    for (const int signal : {SIGTERM, SIGINT, SIGTERM}) {
        ChildProcess app =
            start({CAMERA_DRIVING_BINARY}, {{"CM_CONFIG_FILE_PATH", dir_}, {"ARA_LOG_MODE", "console"}},
                  dir_ + "/early.out", dir_ + "/early.err");
        const std::string status = "/proc/" + std::to_string(app.Pid()) + "/status";
        const auto blocked = [&status] {
            const std::string text = ReadText(status);
            const std::size_t at = text.find("SigBlk:");
            if (at == std::string::npos) {
                return false;
            }
            const unsigned long long mask = std::stoull(text.substr(at + 7), nullptr, 16);
            const unsigned long long wanted = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
            return (mask & wanted) == wanted;
        };
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!blocked() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        app.Signal(signal);
        EXPECT_EQ(app.Wait(10s), 0) << ReadText(dir_ + "/early.err");
    }
}

// RouDi killed and restarted under the running application: the loss is seen within about two seconds,
// reported at error level, and the process ends with status 1 so that its supervisor starts it again;
// started again, it streams to a recorder through the new RouDi.
TEST_F(RouDiFaults, RouDiRestartEndsTheApplicationWithStatusOneAndARestartStreamsAgain) {
    auto app = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << ReadText(dir_ + "/app.err").substr(0, 4000);
    roudi_.Signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    roudi_.Stop();  // reaps it: its lock is free once it is gone
    ASSERT_NO_FATAL_FAILURE(startRouDi());
    EXPECT_EQ(app.Wait(10s), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 3s);
    const std::string err = ReadText(dir_ + "/app.err");
    EXPECT_NE(
        err.find(
            "[error] [Transport][Lost, samples sent from now on reach no subscriber] [ShmRuntime] RouDi "),
        std::string::npos)
        << err.substr(err.size() > 4000 ? err.size() - 4000 : 0);
    EXPECT_NE(err.find("[fatal] communication lost"), std::string::npos);

    // What the supervisor does: start it again.
    auto recorder = runRecorder(dir_, {"--frames", "15", "--cameras", "8"});
    ASSERT_TRUE(waitForLog(dir_ + "/recorder.out", "waiting for the publisher", 20s));
    auto restarted = startApplication(dir_);
    EXPECT_EQ(recorder.Wait(60s), 0) << ReadText(dir_ + "/recorder.err");
    EXPECT_EQ(readIndex(dir_ + "/record/cam_8_index.csv").size(), 15U);
    restarted.Signal(SIGTERM);
    EXPECT_EQ(restarted.Wait(10s), 0);
}

}  // namespace
