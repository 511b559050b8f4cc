#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "impl_type_camerah265image.h"
#include "lens_model.h"
#include "roudi_process.h"
#include "vcu/camera/frame_code.h"
#include "vrt/cm/event_subscriber.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kImageEvent = 35045;
constexpr int kFramesPerSecond = 30;

std::string cameraSection(int id, std::uint32_t gop, bool undistort) {
    std::string text = "[cam_" + std::to_string(id) +
                       "]\ninputImageWidth = 1920\ninputImageHeight = 1080\noutputImageWidth = 1280\n"
                       "outputImageHeight = 720\ncropTopOffset = 0\ncropLeftOffset = 0\nencoderGopNumber = " +
                       std::to_string(gop) + "\n";
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
    e2e::writeFile(dir + "/aos_a_cam_config.ini", ini);
    e2e::writeFile(dir + "/cm_deployment.json", e2e::readFile(PROJECT_CONFIG_DIR "/cm_deployment.json"));
    ::mkdir((dir + "/maps").c_str(), 0755);
    const lens::Intrinsics camera{1300, 1300, 959.5, 539.5};
    const lens::UndistortMaps maps =
        lens::makeUndistortMaps(1920, 1080, camera, {-0.18, 0.05, 0, 0, 0}, camera);
    for (int id : {8, 10}) {
        std::string error;
        const std::string prefix = dir + "/maps/cam_" + std::to_string(id);
        EXPECT_TRUE(lens::writeMapFile(prefix + "_x.bin", maps.x, &error)) << error;
        EXPECT_TRUE(lens::writeMapFile(prefix + "_y.bin", maps.y, &error)) << error;
    }
    return dir;
}

// The application, started in `dir` (map paths are relative to it) with `dir` as its configuration.
std::unique_ptr<e2e::Process> startApplication(const std::string& dir) {
    const std::string chdirAndRun = "cd " + dir + " && exec " + CAMERA_DRIVING_BINARY;
    return std::make_unique<e2e::Process>(
        std::vector<std::string>{"/bin/sh", "-c", chdirAndRun},
        std::map<std::string, std::string>{{"CM_CONFIG_FILE_PATH", dir}, {"ARA_LOG_MODE", "console"}},
        dir + "/app.out", dir + "/app.err");
}

bool waitForLog(const std::string& path, const std::string& fragment, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (e2e::readFile(path).find(fragment) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
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
         "section [cam_8] key outputImageWidth = \"-1\": expected an even number of pixels from 2 to 8192"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = e2e::testDirectory("config");
        if (!c.ini.empty()) {
            e2e::writeFile(dir + "/aos_a_cam_config.ini", c.ini);
        }
        auto app = startApplication(dir);
        EXPECT_EQ(app->wait(10s), 1);
        const std::string err = e2e::readFile(dir + "/app.err");
        EXPECT_NE(err.find(c.expected), std::string::npos) << err;
        EXPECT_NE(err.find(dir + "/aos_a_cam_config.ini"), std::string::npos) << "names the file: " << err;
        EXPECT_EQ(err.find("Skeleton for:"), std::string::npos) << "no port is built: " << err;
        EXPECT_EQ(err.find("VCAM"), std::string::npos) << "no camera is started: " << err;
    }
}

// Everything one camera published, as the subscriber received it.
struct Received {
    std::int32_t sec;  // as the record carries them
    std::int32_t nsec;
    bool isKeyFrame;
    std::vector<std::uint8_t> data;
};

// A running system: RouDi (ours, or the one that runs), a subscriber to the image event and the application.
class RunningSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        roudi_ =
            std::make_unique<vrt::cm::test::RouDiProcess>(IOX_ROUDI_BINARY, PROJECT_CONFIG_DIR "/roudi.toml");
        if (!roudi_->Error().empty() && !vrt::cm::test::RouDiIsRunning()) {
            FAIL() << roudi_->Error();
        }
        dir_ = writeConfiguration(
            e2e::testDirectory(::testing::UnitTest::GetInstance()->current_test_info()->name()), kGop);
    }

    void subscribe() {
        auto created = vrt::cm::EventSubscriber<CameraH265Image>::Create(kImageEvent, {256},
                                                                         dir_ + "/cm_deployment.json");
        ASSERT_TRUE(created.HasValue()) << created.Error();
        subscriber_ = std::move(created).Value();
        subscriber_->StartReceiving([this](const CameraH265Image& image, const auto&) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_[image.cameraId].push_back(
                {image.header.sec, image.header.nsec, image.isKeyFrame, image.data});
        });
    }

    std::size_t fewestFrames() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t fewest = SIZE_MAX;
        for (std::uint8_t camera = 0; camera < 4; ++camera) {
            fewest = std::min(fewest, received_[camera].size());
        }
        return fewest;
    }

    // SIGTERM while the cameras stream: the process must end cleanly within two seconds.
    void stopApplication() {
        const auto start = std::chrono::steady_clock::now();
        app_->signal(SIGTERM);
        EXPECT_EQ(app_->wait(10s), 0) << e2e::readFile(dir_ + "/app.err").substr(0, 4000);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }

    static constexpr std::uint32_t kGop = 10;
    std::unique_ptr<vrt::cm::test::RouDiProcess> roudi_;
    std::string dir_;
    std::unique_ptr<vrt::cm::EventSubscriber<CameraH265Image>> subscriber_;
    std::unique_ptr<e2e::Process> app_;
    std::mutex mutex_;
    std::map<std::uint8_t, std::vector<Received>> received_;
};

struct Decoded {
    int width;
    int height;
    bool intra;
    std::optional<std::uint32_t> frameCode;
};

// Decodes one camera's events in order with libavcodec.
std::vector<Decoded> decode(const std::vector<Received>& frames) {
    std::vector<Decoded> pictures;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_open2(context, codec, nullptr) == 0) {
        context->flags |= AV_CODEC_FLAG_LOW_DELAY;
        for (const Received& received : frames) {
            std::vector<std::uint8_t> padded(received.data);
            padded.resize(padded.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            packet->data = padded.data();
            packet->size = static_cast<int>(received.data.size());
            if (avcodec_send_packet(context, packet) != 0) {
                pictures.push_back({0, 0, false, std::nullopt});
                continue;
            }
            while (avcodec_receive_frame(context, frame) == 0) {
                pictures.push_back({frame->width, frame->height, frame->pict_type == AV_PICTURE_TYPE_I,
                                    vcu::camera::readFrameCode(frame->data[0], frame->width, frame->height,
                                                               frame->linesize[0], 1280.0 / 1920.0)});
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return pictures;
}

TEST_F(RunningSystem, EveryCameraStreamsDecodableFramesAtTheGopRhythm) {
    ASSERT_NO_FATAL_FAILURE(subscribe());
    app_ = startApplication(dir_);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (fewestFrames() < 4 * kFramesPerSecond && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(app_->running()) << e2e::readFile(dir_ + "/app.err").substr(0, 4000);
        std::this_thread::sleep_for(100ms);
    }
    stopApplication();
    subscriber_->StopReceiving();
    EXPECT_EQ(subscriber_->MissedSamples(), 0U);
    EXPECT_EQ(subscriber_->DecodeFailures(), 0U);

    for (std::uint8_t camera = 0; camera < 4; ++camera) {
        SCOPED_TRACE("camera index " + std::to_string(camera));
        const std::vector<Received>& frames = received_[camera];
        ASSERT_GE(frames.size(), 3U * kFramesPerSecond);

        // Frame count against the time the camera streamed (published stamps, platform clock).
        const auto ns = [](const Received& r) {
            return static_cast<std::int64_t>(static_cast<std::uint32_t>(r.sec)) * 1000000000 + r.nsec;
        };
        const double seconds = static_cast<double>(ns(frames.back()) - ns(frames.front())) / 1e9;
        const double expected = seconds * kFramesPerSecond + 1;
        EXPECT_NEAR(static_cast<double>(frames.size()), expected, expected * 0.1);
        for (std::size_t i = 1; i < frames.size(); ++i) {
            ASSERT_GT(ns(frames[i]), ns(frames[i - 1])) << "frame " << i;
        }

        // Key frames exactly every kGop published frames, from the first one received.
        const auto firstKey =
            std::find_if(frames.begin(), frames.end(), [](const Received& r) { return r.isKeyFrame; });
        ASSERT_NE(firstKey, frames.end());
        const auto first = static_cast<std::size_t>(firstKey - frames.begin());
        ASSERT_LT(first, kGop);
        for (std::size_t i = first; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].isKeyFrame, (i - first) % kGop == 0) << "frame " << i;
        }

        const std::vector<Received> decodable(firstKey, frames.end());
        const std::vector<Decoded> pictures = decode(decodable);
        ASSERT_EQ(pictures.size(), decodable.size());
        std::optional<std::uint32_t> previousCode;
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            SCOPED_TRACE("decoded frame " + std::to_string(i));
            EXPECT_EQ(pictures[i].width, 1280);
            EXPECT_EQ(pictures[i].height, 720);
            EXPECT_EQ(pictures[i].intra, decodable[i].isKeyFrame);
            // The pattern's frame number only grows: frames may be dropped (newest wins), never repeated
            // or reordered.
            ASSERT_TRUE(pictures[i].frameCode.has_value());
            if (previousCode) {
                EXPECT_GT(*pictures[i].frameCode, *previousCode);
            }
            previousCode = pictures[i].frameCode;
        }
    }
}

// Under full load (all cameras undistorting and encoding), SIGTERM ends the process cleanly: status 0 within
// two seconds, teardown without sanitizer reports. Runs in the sanitizer builds too.
TEST_F(RunningSystem, SigtermUnderLoadEndsCleanlyWithinTwoSeconds) {
    app_ = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 60s))
        << e2e::readFile(dir_ + "/app.err").substr(0, 4000);
    std::this_thread::sleep_for(1s);
    stopApplication();
    const std::string err = e2e::readFile(dir_ + "/app.err");
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err.substr(err.find("Sanitizer"), 4000);
    EXPECT_EQ(err.find("runtime error"), std::string::npos);
    EXPECT_NE(err.find("cameras stopped"), std::string::npos);
    EXPECT_NE(err.find("[Stop offer service][service=/kestrova/ap/Service/instance/Visualization"),
              std::string::npos);
}

// A minute at four times 30 frames per second: resident memory stays flat after the warm-up and nothing
// goes wrong.
TEST_F(RunningSystem, SoakKeepsMemoryFlatAndLogsNoErrors) {
    ASSERT_NO_FATAL_FAILURE(subscribe());
    app_ = startApplication(dir_);
    ASSERT_TRUE(waitForLog(dir_ + "/app.err", "encoder pipeline completed successfully with id: 3", 30s));
    std::this_thread::sleep_for(10s);
    const long warm = e2e::residentKb(app_->pid());
    long highest = warm;
    for (int second = 0; second < 60; ++second) {
        std::this_thread::sleep_for(1s);
        ASSERT_TRUE(app_->running());
        highest = std::max(highest, e2e::residentKb(app_->pid()));
    }
    stopApplication();
    subscriber_->StopReceiving();
    EXPECT_GT(warm, 0);
    EXPECT_LT(static_cast<double>(highest), warm * 1.02)
        << "resident memory grew from " << warm << " kB to " << highest << " kB";
    const std::string err = e2e::readFile(dir_ + "/app.err");
    EXPECT_EQ(err.find("[error]"), std::string::npos) << err.substr(err.find("[error]"), 2000);
    EXPECT_EQ(err.find("[fatal]"), std::string::npos);
}

}  // namespace
