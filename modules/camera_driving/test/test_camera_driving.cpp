#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <memory>
#include <string>
#include <vector>

#include "ara/log/log_capture.h"
#include "camera_driving.h"
#include "impl_type_camerah265image.h"
#include "mpu/annex_b.h"
#include "mpu/fault_injection.h"
#include "vcu/camera/camera.h"
#include "wrapper_test_support.h"

namespace {

using namespace camera_driving::test;  // NOLINT(google-build-using-namespace): the tests' own helpers
using mpu::fault::Operation;

// A small camera and a prepared size other than the old fixed 1280 x 720, so the tests stay quick and show
// that the pipeline produces the configured size.
constexpr int kInWidth = 320;
constexpr int kInHeight = 180;
constexpr const char* kOutWidth = "160";
constexpr const char* kOutHeight = "96";

std::vector<vcu::camera::CameraAccessConfig> oneCamera() {
    return {{"KRV_CAM_3MP_NV12", 8, 200, 20, kInWidth, kInHeight, 5, 0, 0, "YUV420_NV12", 0}};
}

boost::property_tree::ptree configuration(std::uint32_t gop, const char* outWidth = kOutWidth,
                                          const char* outHeight = kOutHeight) {
    boost::property_tree::ptree tree;
    for (int id = 8; id < 12; ++id) {
        const std::string section = "cam_" + std::to_string(id) + ".";
        tree.put(section + "inputImageWidth", std::to_string(kInWidth));
        tree.put(section + "inputImageHeight", std::to_string(kInHeight));
        tree.put(section + "outputImageWidth", outWidth);
        tree.put(section + "outputImageHeight", outHeight);
        tree.put(section + "cropTopOffset", "0");
        tree.put(section + "cropLeftOffset", "0");
        tree.put(section + "encoderGopNumber", std::to_string(gop));
    }
    return tree;
}

// Three successive frames of camera 8 as the camera service delivers them; the records keep their buffers
// after the service has stopped.
std::vector<vcu::camera::CameraData> threeFrames() {
    std::vector<vcu::camera::CameraData> frames;
    if (vcu::camera::CameraInit(oneCamera()) != 0) {
        return frames;
    }
    for (int attempt = 0; attempt < 50 && frames.size() < 3; ++attempt) {
        vcu::camera::CameraGetData(8, frames, 200);
    }
    vcu::camera::CameraDeinit();
    frames.resize(std::min<std::size_t>(frames.size(), 3), vcu::camera::CameraData(""));
    return frames;
}

// True when the H.264 stream holds an IDR picture (NAL unit type 5).
bool holdsIdrPicture(const std::vector<std::uint8_t>& bytes) {
    bool idr = false;
    mpu::annex_b::forEachNalHeader(bytes.data(), bytes.size(), [&](std::size_t header) {
        idr = idr || mpu::annex_b::h264NalType(bytes[header]) == 5;
    });
    return idr;
}

class RecordingObserver : public FrameObserver {
  public:
    void onFramePublished(unsigned char, const vcu::camera::CameraAuxiliaryInfo& frame, const timespec&, bool,
                          std::size_t) override {
        sequences.push_back(frame.frameSequence);
    }
    std::vector<std::uint64_t> sequences;
};

// The orchestrator of one camera (index 0) driven by hand: the test puts frames into the frame pool and
// runs the cycle itself, on the real preprocessor and encoder; published events are read back from the
// visualization event's process-local memory.
class CameraDrivingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { frames_ = new std::vector<vcu::camera::CameraData>(threeFrames()); }
    static void TearDownTestSuite() {
        delete frames_;
        frames_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(frames_->size(), 3U) << "the camera service delivered no frames"; }
    void TearDown() override { mpu::fault::ClearAll(); }

    // The orchestrator with the camera's preprocessor set up.
    void start(std::uint32_t gop, const char* outWidth = kOutWidth, const char* outHeight = kOutHeight) {
        preprocess.reset();
        sut = std::make_unique<CameraDriving>();
        sut->setFrameObserver(&observer);
        boost::property_tree::ptree tree = configuration(gop, outWidth, outHeight);
        sut->prepare(tree, pool, oneCamera());
        events = Subscribe<CameraH265Image>(4097, 35045);
        ASSERT_TRUE(events);
        preprocess = std::make_unique<CamPreprocess>(0);
        ASSERT_TRUE(sut->setUpCamera(*preprocess, 0));
    }

    // One cycle of the worker, woken with `queued` in the camera's frame list.
    void cycle(const std::vector<vcu::camera::CameraData>& queued) {
        std::lock_guard<std::mutex> lock(pool->mutexes[0]);
        pool->images[0].cameraDataVector = queued;
        pool->imageReady[0] = true;
        sut->runPipelines(*preprocess, 0);
        pool->imageReady[0] = false;
    }
    void cycle() { cycle({frames_->back()}); }

    std::vector<std::shared_ptr<CameraH265Image>> published() {
        std::vector<std::shared_ptr<CameraH265Image>> samples;
        while (auto sample = events->LoadData(kClient)) {
            samples.push_back(sample);
        }
        return samples;
    }

    static std::vector<vcu::camera::CameraData>* frames_;
    ScopedManifest manifest{ProlocManifest()};
    ara::log::LogCapture capture;
    std::shared_ptr<CameraPool> pool = std::make_shared<CameraPool>();
    RecordingObserver observer;
    std::unique_ptr<CameraDriving> sut;
    std::unique_ptr<CamPreprocess> preprocess;
    std::shared_ptr<vrt::cm::proloc::ProlocEventMemoryImpl<CameraH265Image>> events;
};

std::vector<vcu::camera::CameraData>* CameraDrivingTest::frames_ = nullptr;

TEST_F(CameraDrivingTest, NewestOfThreeQueuedFramesIsPublishedAndAllAreDiscarded) {
    start(5);
    cycle(*frames_);

    ASSERT_EQ(observer.sequences.size(), 1U);
    EXPECT_EQ(observer.sequences[0], frames_->back().auxiliaryInfo.frameSequence);
    EXPECT_LT((*frames_)[1].auxiliaryInfo.frameSequence, frames_->back().auxiliaryInfo.frameSequence);
    EXPECT_TRUE(pool->images[0].cameraDataVector.empty());
    const auto samples = published();
    ASSERT_EQ(samples.size(), 1U);
    EXPECT_EQ(samples[0]->cameraId, 0);
    EXPECT_FALSE(samples[0]->data.empty());
    EXPECT_EQ(sut->frameCounts(0).published, 1U);
    EXPECT_EQ(sut->frameCounts(0).dropped, 0U);
}

TEST_F(CameraDrivingTest, PicturesAreResizedToTheConfiguredOutputSize) {
    // Larger than the buffers of the old fixed 1280 x 720, and not that size: the encoder channel was made
    // for it, so every frame must be.
    start(5, "1920", "1080");
    cycle();
    cycle();
    EXPECT_EQ(published().size(), 2U);
    EXPECT_EQ(preprocess->cropResize().dest_pic_info.picture_width, 1920U);
    EXPECT_EQ(preprocess->outputPicture().picture_height, 1080U);
    EXPECT_EQ(sut->frameCounts(0).dropped, 0U);
    EXPECT_EQ(capture.Count("PRE", ara::log::LogLevel::kError, ""), 0U);
}

TEST_F(CameraDrivingTest, FailedStageDropsTheFramePublishingNothing) {
    start(5);
    const Operation failing[] = {Operation::kVpcCropResize, Operation::kVpcConvertColor,
                                 Operation::kVpcGetProcessResult, Operation::kVencSendFrame};
    std::uint64_t dropped = 0;
    for (const Operation operation : failing) {
        SCOPED_TRACE(static_cast<int>(operation));
        mpu::fault::FailNext(operation, 1, 0x1234);
        cycle(*frames_);
        EXPECT_TRUE(published().empty());
        EXPECT_TRUE(pool->images[0].cameraDataVector.empty());
        EXPECT_EQ(sut->frameCounts(0).dropped, ++dropped);
        EXPECT_EQ(sut->frameCounts(0).published, 0U);
    }
    // Drops are reported, but not one line per frame.
    EXPECT_EQ(capture.Count("C_D", ara::log::LogLevel::kWarn, "camera 8: frame dropped"), 1U);

    cycle();
    EXPECT_EQ(published().size(), 1U);
    EXPECT_EQ(sut->frameCounts(0).published, 1U);
    EXPECT_EQ(sut->frameCounts(0).dropped, dropped);
}

// The flag of every published frame is the encoder's: frames the encoder made but that were not published
// (here a failed stream fetch) do not shift the flags off the real key frames.
TEST_F(CameraDrivingTest, KeyFrameFlagsAreTheEncodersKeyFrames) {
    for (const std::uint32_t gop : {0U, 1U, 5U}) {
        SCOPED_TRACE("GOP " + std::to_string(gop));
        start(gop);
        std::vector<bool> flags;
        for (int frame = 0; frame < 12; ++frame) {
            if (frame == 3 || frame == 7) {
                mpu::fault::FailNext(Operation::kVencGetStream, 1, MPU_ERR_TIMEOUT);
            }
            cycle();
            for (const auto& sample : published()) {
                EXPECT_EQ(sample->isKeyFrame, holdsIdrPicture(sample->data))
                    << "published frame " << flags.size();
                flags.push_back(sample->isKeyFrame);
            }
        }
        ASSERT_EQ(flags.size(), 10U);
        EXPECT_EQ(sut->frameCounts(0).dropped, 2U);
        // Encoded frames 0..11; 3 and 7 not published.
        std::vector<bool> expected;
        for (std::uint32_t encoded = 0; encoded < 12; ++encoded) {
            if (encoded != 3 && encoded != 7) {
                expected.push_back(gop == 0 ? encoded == 0 : encoded % gop == 0);
            }
        }
        EXPECT_EQ(flags, expected);
    }
}

TEST_F(CameraDrivingTest, InputSizeOtherThanTheCamerasFramesIsRefusedNamingTheCameraId) {
    boost::property_tree::ptree tree = configuration(5);
    tree.put("cam_8.inputImageWidth", "1280");
    tree.put("cam_8.inputImageHeight", "720");
    CameraDriving driving;
    try {
        driving.prepare(tree, pool, oneCamera());
        ADD_FAILURE() << "accepted";
    } catch (const CameraStartError& error) {
        const std::string text = error.what();
        EXPECT_NE(
            text.find("camera 8: section [cam_8] keys inputImageWidth and inputImageHeight give 1280 x 720"),
            std::string::npos)
            << text;
        EXPECT_NE(text.find("320 x 180"), std::string::npos) << text;
    }
}

TEST_F(CameraDrivingTest, PreprocessorThatCannotBeSetUpIsReported) {
    const Operation failing[] = {Operation::kSysInit, Operation::kVpcCreateChannel,
                                 Operation::kVencCreateChannel, Operation::kVencStartChannel,
                                 Operation::kDmaMalloc};
    for (const Operation operation : failing) {
        SCOPED_TRACE(static_cast<int>(operation));
        CameraDriving driving;
        boost::property_tree::ptree tree = configuration(5);
        driving.prepare(tree, pool, oneCamera());
        mpu::fault::FailNext(operation, 1, 0x1234);
        CamPreprocess camera(0);
        EXPECT_FALSE(driving.setUpCamera(camera, 0));
        mpu::fault::ClearAll();
    }
    boost::property_tree::ptree unreadable = configuration(5);
    unreadable.put("cam_8.outputImageWidth", "2");
    CameraDriving driving;
    driving.prepare(unreadable, pool, oneCamera());
    CamPreprocess camera(0);
    EXPECT_FALSE(driving.setUpCamera(camera, 0)) << "a refused value ends the camera, not the process";
}

}  // namespace
