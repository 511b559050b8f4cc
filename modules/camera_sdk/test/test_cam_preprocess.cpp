#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ara/log/log_capture.h"
#include "cam_preprocess.h"
#include "camera_test/gtest_support.h"
#include "mpu/fault_injection.h"
#include "mpu/mpu_dma.h"

namespace {

using ara::log::LogLevel;
using mpu::fault::Operation;

constexpr const char* kContext = "PRE";

// A small camera keeps the tests quick; the geometry test uses the vehicle's sizes.
constexpr std::uint32_t kInWidth = 320;
constexpr std::uint32_t kInHeight = 180;
constexpr std::uint32_t kOutWidth = 160;
constexpr std::uint32_t kOutHeight = 90;

boost::property_tree::ptree cameraSection(std::uint32_t inWidth, std::uint32_t inHeight,
                                          std::uint32_t outWidth, std::uint32_t outHeight,
                                          std::uint32_t gop = 3) {
    boost::property_tree::ptree section;
    section.put("inputImageWidth", std::to_string(inWidth));
    section.put("inputImageHeight", std::to_string(inHeight));
    section.put("outputImageWidth", std::to_string(outWidth));
    section.put("outputImageHeight", std::to_string(outHeight));
    section.put("cropTopOffset", "0");
    section.put("cropLeftOffset", "0");
    section.put("encoderGopNumber", std::to_string(gop));
    return section;
}

void writeMap(const std::string& path, const std::vector<float>& values) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
}

// A camera frame as the camera service delivers it: NV12, stride = width.
struct Frame {
    std::vector<std::uint8_t> bytes;
    Frame(std::uint32_t width, std::uint32_t height, std::uint8_t luma, std::uint8_t chroma)
        : bytes(std::size_t{width} * height * 3 / 2, chroma) {
        std::fill(bytes.begin(), bytes.begin() + std::size_t{width} * height, luma);
    }
};

class CamPreprocessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // One pair a process: ctest runs the cases of this suite side by side.
        const std::string stem = ::testing::TempDir() + "cam_preprocess_" + std::to_string(getpid());
        mapX = stem + "_x.bin";
        mapY = stem + "_y.bin";
        config.put_child("cam_8", cameraSection(kInWidth, kInHeight, kOutWidth, kOutHeight));
    }
    void TearDown() override {
        mpu::fault::ClearAll();
        std::remove(mapX.c_str());
        std::remove(mapY.c_str());
    }

    // Maps that sample every pixel from (x + dx, y + dy).
    void configureMaps(float dx, float dy, std::size_t count = std::size_t{kInWidth} * kInHeight) {
        std::vector<float> x(count);
        std::vector<float> y(count);
        for (std::size_t i = 0; i < count; ++i) {
            x[i] = static_cast<float>(i % kInWidth) + dx;
            y[i] = static_cast<float>(i / kInWidth) + dy;
        }
        writeMap(mapX, x);
        writeMap(mapY, y);
        config.put("cam_8.remapFilePathX", mapX);
        config.put("cam_8.remapFilePathY", mapY);
    }

    std::unique_ptr<CamPreprocess> started() {
        auto sut = std::make_unique<CamPreprocess>(0);
        EXPECT_EQ(sut->init(config, 8), 0);
        EXPECT_EQ(sut->allocateMemory(), 0);
        return sut;
    }

    // One frame as the orchestrator runs it; the pipeline's result.
    int runFrame(CamPreprocess& sut, Frame& frame, std::uint32_t width = kOutWidth,
                 std::uint32_t height = kOutHeight) {
        *sut.getInputAddress() = frame.bytes.data();
        sut.changeResizeSize(width, height);
        return sut.runPreprocessPipeline(false);
    }

    boost::property_tree::ptree config;
    std::string mapX;
    std::string mapY;
    ara::log::LogCapture capture;
};

TEST_F(CamPreprocessTest, ReadsItsCameraSectionAndSizesThePicturesFromIt) {
    config.put_child("cam_10", cameraSection(1920, 1080, 1280, 720));
    CamPreprocess sut(2);
    sut.setupPipelines(config, 8);
    sut.initMPI();
    EXPECT_EQ(sut.inputPicture().picture_buffer_size, 3110400u);
    EXPECT_EQ(sut.cropResize().dest_pic_info.picture_buffer_size, 1382400u);
    EXPECT_EQ(sut.outputPicture().picture_width_stride, 3840u);
    EXPECT_EQ(sut.outputPicture().picture_buffer_size, 2764800u);
    EXPECT_EQ(sut.outputPicture().picture_format, 13u);
    const mpu_vpc_crop_region& window = sut.cropResize().crop_region;
    EXPECT_EQ(window.crop_width, 1920u);
    EXPECT_EQ(window.crop_height, 1080u);
    EXPECT_EQ(sut.cropResize().resize_info.resize_width, 1280u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kWarn, "'remapFilePathX'"), 1u);
    EXPECT_EQ(capture.Count(kContext, "'remapFilePathY'"), 0u);
    EXPECT_FALSE(sut.isUndistortionEnabled());
}

TEST_F(CamPreprocessTest, UndistortionNeedsBothMapKeys) {
    config.put("cam_8.remapFilePathX", mapX);
    CamPreprocess sut(0);
    sut.setupPipelines(config, 8);
    EXPECT_EQ(
        capture.Count(
            kContext, LogLevel::kWarn,
            "The INI file does not contain the key 'remapFilePathY', so undistortion part is disabled."),
        1u);
    EXPECT_FALSE(sut.isUndistortionEnabled());
}

TEST_F(CamPreprocessTest, RefusesValuesThatCannotMakeAPictureNamingSectionAndKey) {
    const struct {
        const char* key;
        const char* value;
    } refused[] = {{"inputImageWidth", "-1"},       {"inputImageWidth", "12x"},
                   {"inputImageHeight", "0"},       {"outputImageWidth", "1281"},
                   {"outputImageHeight", "9000"},   {"cropLeftOffset", "160"},
                   {"cropTopOffset", "4294967295"}, {"encoderGopNumber", "4294967296"}};
    for (const auto& value : refused) {
        boost::property_tree::ptree bad = config;
        bad.put(std::string("cam_8.") + value.key, value.value);
        CamPreprocess sut(0);
        SCOPED_TRACE(std::string(value.key) + " = " + value.value);
        try {
            sut.init(bad, 8);
            ADD_FAILURE() << "accepted";
        } catch (const boost::property_tree::ptree_bad_data& error) {
            EXPECT_NE(std::string(error.what()).find(std::string("cam_8.") + value.key), std::string::npos)
                << error.what();
        }
    }
    boost::property_tree::ptree missing = config;
    missing.get_child("cam_8").erase("encoderGopNumber");
    CamPreprocess sut(0);
    EXPECT_THROW(sut.init(missing, 8), boost::property_tree::ptree_bad_path);
    EXPECT_EQ(capture.Count(kContext, "ACC"), 0u) << "no runtime call before the configuration is read";
}

TEST_F(CamPreprocessTest, RuntimeStartUpGoesOnPastEveryFailingStep) {
    for (const Operation step :
         {Operation::kGetRunMode, Operation::kAccInit, Operation::kSetDevice, Operation::kCreateContext}) {
        mpu::fault::FailNext(step, 1, 0x2A);
    }
    CamPreprocess sut(0);
    EXPECT_EQ(sut.initACC(), 0);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "ACC didn't"), 4u);
    // The status in hexadecimal after the message's "0x" (42 used to print as "0x42"), and the camera's id.
    EXPECT_EQ(
        capture.Count(kContext, LogLevel::kError, "camera 8: ACC didn't context successfully, ret = 0x2a"),
        1u);
}

TEST_F(CamPreprocessTest, MapFileOfTheWrongSizeTurnsUndistortionOffNamingTheFile) {
    configureMaps(0, 0);
    writeMap(mapX, {1.0f, 2.0f, 3.0f});  // and 10 bytes would be 2 values: any other count than 57600
    {
        std::ofstream file(mapX, std::ios::binary | std::ios::app);
        file.write("ab", 2);
    }
    auto sut = started();
    EXPECT_FALSE(sut->isUndistortionEnabled());
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "holds 3 values, expected 57600"), 1u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, mapX), 1u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kWarn, "camera 8: undistortion is disabled"), 1u);
    EXPECT_EQ(sut->getInputAddress(), &const_cast<mpu_vpc_pic_info&>(sut->inputPicture()).picture_address);
    Frame frame(kInWidth, kInHeight, 100, 128);
    EXPECT_EQ(runFrame(*sut, frame), 0);
}

TEST_F(CamPreprocessTest, MissingMapFileIsReportedOnceAndTheOtherIsNotOpened) {
    configureMaps(0, 0);
    config.put("cam_8.remapFilePathX", "/nonexistent/x.bin");
    config.put("cam_8.remapFilePathY", "/nonexistent/y.bin");
    auto sut = started();
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "Error: Failed to open file for reading."), 1u);
    EXPECT_EQ(capture.Count(kContext, "/nonexistent/y.bin"), 0u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "/nonexistent/x.bin: cannot open file: No such file"),
              1u);
    EXPECT_FALSE(sut->isUndistortionEnabled());
}

// A FIFO would block the open for ever (no writer): it is refused like a missing map.
TEST_F(CamPreprocessTest, MapFileThatIsAFifoIsRefusedWithoutBlocking) {
    configureMaps(0, 0);
    const camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("cam_preprocess_fifo_");
    const std::string fifo = directory.File("x.bin");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    config.put("cam_8.remapFilePathX", fifo);
    auto sut = started();
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, fifo + ": is a FIFO, not a regular file"), 1u);
    EXPECT_FALSE(sut->isUndistortionEnabled());
}

TEST_F(CamPreprocessTest, UndistortionRunsBeforeTheCropResizeReadsItsResult) {
    configureMaps(-1000.0f, 0);  // everything outside the camera picture: black
    auto sut = started();
    ASSERT_TRUE(sut->isUndistortionEnabled());
    EXPECT_EQ(sut->maps().map_size, kInWidth * kInHeight * 4);
    // The maps stay the preprocessor's after the table is built, read back from their files.
    const std::size_t last = std::size_t{kInWidth} * kInHeight - 1;
    EXPECT_EQ(sut->maps().map_x[last], static_cast<float>(kInWidth - 1) - 1000.0f);
    EXPECT_EQ(sut->maps().map_y[last], static_cast<float>(kInHeight - 1));
    EXPECT_EQ(sut->undistortion().src_pic.picture_buffer_size, kInWidth * kInHeight * 3 / 2);
    EXPECT_EQ(sut->getInputAddress(),
              &const_cast<mpu_warp_transform_param&>(sut->undistortion()).src_pic.picture_address);
    Frame frame(kInWidth, kInHeight, 200, 128);
    ASSERT_EQ(runFrame(*sut, frame), 0);
    const auto* bgr = static_cast<const std::uint8_t*>(sut->outputPicture().picture_address);
    EXPECT_EQ(bgr[0], 0);
    EXPECT_EQ(bgr[sut->outputPicture().picture_buffer_size - 1], 0);
}

TEST_F(CamPreprocessTest, FailingStepEndsThePipelineAndIsLoggedTwice) {
    configureMaps(0, 0);
    auto sut = started();
    capture.Clear();
    Frame frame(kInWidth, kInHeight, 100, 128);
    mpu::fault::FailNext(Operation::kVpcLutRemap, 1, 0x33);
    mpu::fault::FailNext(Operation::kVpcCropResize, 1, 0x34);
    EXPECT_EQ(runFrame(*sut, frame), 0x33);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "failed to undistort with result 0x"), 1u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "image undistortion error with result: 0x"), 1u);
    // The armed crop-resize failure is still there for the next frame: the crop-resize did not run.

    mpu::fault::FailNext(Operation::kVpcConvertColor, 1, 0x35);
    auto* bgr = static_cast<std::uint8_t*>(sut->outputPicture().picture_address);
    std::fill(bgr, bgr + sut->outputPicture().picture_buffer_size, std::uint8_t{0x5A});
    EXPECT_EQ(runFrame(*sut, frame), 0x34);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "failed to crop and resize with result 0x"), 1u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "image cropping and resizing error with result: 0x"),
              1u);
    EXPECT_EQ(bgr[0], 0x5A) << "the conversion did not run";
    EXPECT_EQ(runFrame(*sut, frame), 0x35) << "its armed failure was still there";
}

TEST_F(CamPreprocessTest, ResizeSizeBeyondTheBuffersIsRefusedAndTheSizeKept) {
    auto sut = started();
    sut->changeResizeSize(kOutWidth * 2, kOutHeight);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "does not fit the buffers"), 1u);
    EXPECT_EQ(sut->outputPicture().picture_width, kOutWidth);
    sut->changeResizeSize(kOutWidth / 2, kOutHeight / 2);
    EXPECT_EQ(sut->cropResize().dest_pic_info.picture_width, kOutWidth / 2);
    EXPECT_EQ(sut->outputPicture().picture_buffer_size, kOutWidth / 2 * 3 * (kOutHeight / 2));
}

TEST_F(CamPreprocessTest, EncodesTheResizedPictureStampedWithTheCaptureTime) {
    auto sut = started();
    Frame frame(kInWidth, kInHeight, 120, 100);
    for (std::uint32_t n = 0; n < 4; ++n) {
        ASSERT_EQ(runFrame(*sut, frame), 0);
        vcu::camera::CameraAuxiliaryInfo info;
        info.timestamps.back() = {1700000000 + n, 250};
        sut->setFrameAuxiliaryInfo(info);
        std::shared_ptr<mpu_venc_stream> stream;
        ASSERT_EQ(sut->runEncoderPipeline(&stream), 0);
        ASSERT_TRUE(stream);
        ASSERT_GE(stream->pack_count, 1u);
        EXPECT_EQ(stream->time_ref, 2 * (n + 1));
        EXPECT_EQ(stream->pack[0].pts, (1700000000ull + n) * 1000000000ull + 250);
        EXPECT_EQ(stream->pack[0].key_frame, n % 3 == 0 ? 1u : 0u) << n;
        EXPECT_GT(stream->pack[0].len, stream->pack[0].offset);
    }
}

TEST_F(CamPreprocessTest, StreamHandleCopiesShareOneReleaseDoneExactlyOnce) {
    auto sut = started();
    Frame frame(kInWidth, kInHeight, 120, 100);
    ASSERT_EQ(runFrame(*sut, frame), 0);
    std::shared_ptr<mpu_venc_stream> stream;
    ASSERT_EQ(sut->runEncoderPipeline(&stream), 0);
    ::testing::internal::CaptureStdout();
    {
        std::shared_ptr<mpu_venc_stream> copy = stream;
        stream.reset();
        const mpu_venc_stream held = *copy;
        copy.reset();
        EXPECT_EQ(mpu_venc_release_stream(0, &held), MPU_ERR_NOT_PERMITTED) << "already released";
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(CamPreprocessTest, FailedEncodingHandsOutNoStream) {
    auto sut = started();
    Frame frame(kInWidth, kInHeight, 120, 100);
    ASSERT_EQ(runFrame(*sut, frame), 0);
    std::shared_ptr<mpu_venc_stream> stream;
    mpu::fault::FailNext(Operation::kVencGetStream, 1, 0x1205);
    EXPECT_EQ(sut->runEncoderPipeline(&stream), 0x05);
    EXPECT_FALSE(stream);
    mpu::fault::FailNext(Operation::kVencSendFrame, 1, 0x1100);
    EXPECT_EQ(sut->runEncoderPipeline(&stream), 0xFF) << "a failure never reads as success";
    EXPECT_FALSE(stream);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "image H.265 encoding error with result: 0x"), 2u);

    // The next frame gets its own stream, not the one left over by the failed fetch.
    ASSERT_EQ(sut->runEncoderPipeline(&stream), 0);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->time_ref, 6u);
}

// A frame whose stream did not come back (here: the wait and the status query fail) may still be queued in
// the encoder, which reads the crop-resized picture in place.
class PendingEncoderFrameTest : public CamPreprocessTest {
  protected:
    // A picture large enough that the encoder takes a while with it.
    static constexpr std::uint32_t kSide = 1280;
    static constexpr std::uint32_t kOtherSide = 720;

    void SetUp() override {
        CamPreprocessTest::SetUp();
        config.put_child("cam_8", cameraSection(kSide, kOtherSide, kSide, kOtherSide));
    }
    void sendWithoutFetchingTheStream(CamPreprocess& sut, Frame& frame) {
        ASSERT_EQ(runFrame(sut, frame, kSide, kOtherSide), 0);
        mpu::fault::FailNext(Operation::kWaitEpoll, 1, MPU_ERR_TIMEOUT);
        // Both status queries fail, the look for leftover streams before the send and the one after the
        // wait: however fast the encoder is, the stream is not fetched and the frame stays pending.
        mpu::fault::FailNext(Operation::kVencQueryStatus, 2, MPU_ERR_TIMEOUT);
        std::shared_ptr<mpu_venc_stream> stream;
        ASSERT_NE(sut.runEncoderPipeline(&stream), 0);
        ASSERT_FALSE(stream);
    }
};

TEST_F(PendingEncoderFrameTest, NextFrameDoesNotOverwriteThePictureTheEncoderStillReads) {
    auto sut = started();
    Frame frame(kSide, kOtherSide, 120, 100);
    sendWithoutFetchingTheStream(*sut, frame);

    ASSERT_EQ(runFrame(*sut, frame, kSide, kOtherSide), 0);
    mpu_venc_chn_status status{};
    ASSERT_EQ(mpu_venc_query_status(0, &status), 0);
    EXPECT_EQ(status.left_pics, 0u) << "the crop-resize wrote the picture while the encoder still read it";

    // The encoder goes on with the next frame's own stream.
    std::shared_ptr<mpu_venc_stream> stream;
    ASSERT_EQ(sut->runEncoderPipeline(&stream), 0);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->time_ref, 4u);
}

TEST_F(PendingEncoderFrameTest, TeardownStopsTheEncoderBeforeFreeingThePictureItReads) {
    Frame frame(kSide, kOtherSide, 120, 100);
    {
        auto sut = started();
        sendWithoutFetchingTheStream(*sut, frame);
        capture.Clear();
    }
    const auto messages = capture.Messages();
    const auto position = [&](const char* fragment) {
        for (std::size_t i = 0; i < messages.size(); ++i) {
            if (messages[i].message.find(fragment) != std::string::npos) {
                return i;
            }
        }
        return messages.size();
    };
    ASSERT_LT(position("destroy encoder channel"), messages.size());
    EXPECT_LT(position("destroy encoder channel"), position("release memory of cropResize image"));
}

TEST_F(CamPreprocessTest, HostRunModeIsRefusedByTheEncoder) {
    ::setenv("ACC_RUN_MODE", "host", 1);
    auto sut = started();
    ::unsetenv("ACC_RUN_MODE");
    std::shared_ptr<mpu_venc_stream> stream;
    EXPECT_NE(sut->runEncoderPipeline(&stream), 0);
    EXPECT_FALSE(stream);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "ACC_HOST mode is not supported"), 1u);
}

TEST_F(CamPreprocessTest, TeardownReleasesWhatItMadeAndLeavesTheCameraFrameAlone) {
    configureMaps(0.5f, 0.5f);
    Frame frame(kInWidth, kInHeight, 120, 100);
    void* tableMemory = nullptr;
    {
        auto sut = started();
        tableMemory = sut->lookupTable().lut_addr;
        ASSERT_NE(tableMemory, nullptr);
        ASSERT_EQ(runFrame(*sut, frame), 0);  // the input slot now holds the camera frame's address
    }
    EXPECT_EQ(capture.Count(kContext, LogLevel::kError, "failed to"), 0u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kInfo, "release memory of input image"), 1u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kInfo, "release memory of remap table"), 1u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kInfo, "destroy encoder channel"), 1u);
    EXPECT_EQ(capture.Count(kContext, LogLevel::kInfo, "ACC de-initializes"), 1u);
    EXPECT_EQ(mpu_dma_free(tableMemory), MPU_ERR_ILLEGAL_ADDRESS) << "freed by the teardown";
    EXPECT_EQ(mpu_venc_get_fd(0), -1) << "encoder channel destroyed";
}

TEST_F(CamPreprocessTest, TeardownOfAnUnstartedPreprocessorEndsNobodyElsesRuntime) {
    ASSERT_EQ(accInit(nullptr), ACC_SUCCESS);
    { CamPreprocess unused(1); }
    EXPECT_EQ(accFinalize(), ACC_SUCCESS);
    EXPECT_EQ(accFinalize(), ACC_ERROR_REPEAT_FINALIZE);
}

}  // namespace
