#pragma once

#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "acc/acc_runtime.h"
#include "ara/core/result.h"
#include "ara/log/logger.h"
#include "ara/log/logging.h"
#include "mpu/mpu_owners.h"
#include "mpu/mpu_sys.h"
#include "mpu/mpu_venc.h"
#include "mpu/mpu_vpc.h"
#include "teardown_report.h"
#include "vcu/camera/camera_types.h"
#include "vcu/os/mapped_file.h"

// The per-camera media preprocessor: optional undistortion, crop-resize and conversion to BGR on the media
// unit's picture channel, and the camera's video encoder channel.
//
// One object per camera worker; every operation runs on that worker's thread (not thread-safe). Calling
// order: constructor, init, allocateMemory, then per frame getInputAddress (the frame's NV12 address is
// written through it), setFrameAuxiliaryInfo, changeResizeSize, runPreprocessPipeline, runEncoderPipeline.
// The object owns the picture buffers, the remap maps and table, both channels, the epoll instance and its
// share of the runtime start-up, each through a move-only owner that gives it back when the object goes
// (logged); the camera frame it reads stays the camera's.
class CamPreprocess {
  public:
    // Platform id of camera index 0; a camera's id is its index plus this, as in "cam_8".
    static constexpr unsigned kFirstCameraId = 8;

    explicit CamPreprocess(unsigned char cameraIndex);
    CamPreprocess(const CamPreprocess&) = delete;
    CamPreprocess& operator=(const CamPreprocess&) = delete;

    // Reads the camera's section "cam_<cameraIndex + sectionOffset>" and starts runtime, media system,
    // picture channel and encoder channel. Throws the configuration reader's exceptions for a missing key,
    // a value that is not an unsigned 32-bit number, or a value that cannot make a valid picture.
    int init(boost::property_tree::ptree& config, unsigned char sectionOffset);
    void setupPipelines(boost::property_tree::ptree& config, unsigned char sectionOffset);
    unsigned char initACC();
    int initMPI();
    void setDefaultInputPicInfo();
    void setDefaultCropReizeRegion();
    void setDefaultOutputPicInfo();
    void setDefaultRemapParam();
    int createVPCChannel();

    // Allocate the buffer of a picture, or of a region's destination picture, into `memory` (what it held
    // before is freed) and store its address in the record; `name` names the picture in the teardown log.
    int allocateByPicInfo(mpu_vpc_pic_info& pic, mpu::DmaBuffer& memory, const char* name);
    int allocateByCropResizeRegion(mpu_vpc_crop_resize_region& region, mpu::DmaBuffer& memory);
    int allocateByUndistortion(mpu_warp_transform_param& warp, mpu_remap_lut& lut);
    unsigned char allocateMemory();

    // The slot holding the address of the picture the pipeline reads: the undistortion source when
    // undistortion is on, else the input picture.
    void** getInputAddress();
    // The camera frame's auxiliary information (its capture time becomes the encoded frame's pts).
    void setFrameAuxiliaryInfo(const vcu::camera::CameraAuxiliaryInfo& info);
    // Sets the prepared picture's size; refused (logged, size kept) when it does not fit the buffers.
    void changeResizeSize(unsigned int width, unsigned int height);

    int getUndistortedImage();
    int getResizedCroppedImage();
    int getConvertedImage();
    int runPreprocessPipeline(bool skipUndistortion);
    int runPerceptionPipeline();

    int createEncoderChannel(int width, int height, int bufferFactor);
    // Encodes the crop-resized picture. On success `*stream` owns the stream until its last copy is
    // dropped, which gives it back to the encoder.
    // The name is fixed; the codec is the encoder channel's, chosen by its settings (payload type 96 H.264,
    // 265 H.265), whatever this name says.
    unsigned char h265Encoder(std::shared_ptr<mpu_venc_stream>* stream);
    unsigned char runEncoderPipeline(std::shared_ptr<mpu_venc_stream>* stream);

    // Read-only views for the owner's diagnostics and tests.
    const mpu_vpc_pic_info& inputPicture() const { return inputPicInfo; }
    const mpu_vpc_pic_info& outputPicture() const { return outputPicInfo; }
    const mpu_vpc_crop_resize_region& cropResize() const { return cropResizeRegion; }
    const mpu_warp_transform_param& undistortion() const { return warpParam; }
    const mpu_remap_maps& maps() const { return remapMaps; }
    const mpu_remap_lut& lookupTable() const { return remapLut; }
    bool isUndistortionEnabled() const { return undistortionEnabled; }
    unsigned int gopNumber() const { return encoderGopNumber; }

  private:
    // The start-ups this object made, given back in reverse order: the runtime and media system start-ups
    // are counted process-wide, so only the ones that succeeded are ended.
    struct RuntimeSession {
        mpu::AccRuntime runtime;
        mpu::AccDevice device;
        mpu::AccContext context;
        mpu::MediaSystem mediaSystem;
    };

    // A status as the one-byte results report it. A failure whose low byte happens to be 0 must not read as
    // success, so it becomes 0xFF.
    static unsigned char lowByte(std::int32_t status);
    // Logs a teardown step of this camera (see TeardownReport).
    mpu::ReleaseReport teardownReport(std::string released, std::string failed, bool withStatus) const {
        return TeardownReport(logger, cameraTag, std::move(released), std::move(failed), withStatus);
    }
    mpu::ReleaseReport memoryReport(const std::string& name) const;
    std::uint32_t readNumber(const boost::property_tree::ptree& config, const std::string& section,
                             const char* key);
    void refuseValue(const std::string& section, const char* key, std::uint32_t value, const char* why);
    void checkConfiguration(const std::string& section);
    // Why a remap map file was not taken (the reason is logged with the file's name).
    enum class MapFileError { kUnreadable, kWrongSize };
    // The width x height values of one remap map file, mapped where the file lies (see MappedFile).
    ara::core::Result<vcu::os::MappedFile, MapFileError> readMapFile(const std::string& path);
    void disableUndistortion();
    int allocateInto(mpu::DmaBuffer& memory, const char* name, std::uint32_t size,
                     const char* failureMessage);
    void discardLeftoverStreams();
    int waitForEncoderInput();
    // Logs a pipeline stage's outcome: "<failed> error with result: 0x<status>" at error level, else
    // "<done> successfully" at debug level. Returns the status.
    template <class Status>
    Status logStage(Status status, const char* failed, const char* done) {
        if (status != 0) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << failed << " error with result: 0x" << ara::log::HexFormat(status);
        } else {
            logger.LogDebug(ARA_LOG_HERE) << cameraTag << done << " successfully";
        }
        return status;
    }
    int finishPictureTask(int submitted, const std::uint32_t& taskId, const char* what, const char* result);

    mpu_vpc_pic_info inputPicInfo{};
    mpu_vpc_pic_info outputPicInfo{};
    unsigned char cameraIndex;
    bool undistortionEnabled{false};
    mpu_vpc_crop_resize_region cropResizeRegion{};
    mpu_remap_maps remapMaps{};
    mpu_remap_lut remapLut{};
    mpu_warp_transform_param warpParam{};
    mpu_vpc_workspace workspaceInfo{};
    std::uint32_t inputImageWidth{0};
    std::uint32_t inputImageHeight{0};
    std::uint32_t outputImageWidth{0};
    std::uint32_t outputImageHeight{0};
    std::uint32_t cropTopOffset{0};
    std::uint32_t cropLeftOffset{0};
    std::uint32_t encoderGopNumber{0};
    std::string remapFilePathX;
    std::string remapFilePathY;
    accrtRunMode runMode{ACC_DEVICE};
    std::uint32_t frameCounter{0};
    mpu_sys_epoll_event epollEvent{};
    std::int32_t encoderFd{-1};
    vcu::camera::CameraData cameraData;
    mpu_vpc_chn_attr vpcChannelAttr{};
    ara::log::Logger& logger;
    // "camera <id>: ", the start of every message of this preprocessor.
    const std::string cameraTag;

    // The maps are read once, when the table is built; they stay valid for the preprocessor's life, but their
    // pages go back to the page cache afterwards instead of holding the process's memory.
    vcu::os::MappedFile remapMapX;
    vcu::os::MappedFile remapMapY;
    std::int32_t lutSizeStatus{0};
    // A frame was sent to the encoder and its stream has not come back yet.
    bool encoderInputPending{false};

    // Owners, declared in acquisition order so that they are given back in reverse; they stay last, so
    // the logger and the tag their reports use outlive them. The encoder reads the crop-resized picture in
    // place, so the picture memory is declared before the encoder: the encoder stops first. The buffers are
    // declared from the last allocated to the first, so the teardown frees the input picture first.
    RuntimeSession session;
    mpu::PictureChannel pictureChannel;
    mpu::DmaBuffer remapTableMemory;
    mpu::DmaBuffer undistortionDestinationMemory;
    mpu::DmaBuffer undistortionSourceMemory;
    mpu::DmaBuffer cropResizeMemory;
    mpu::DmaBuffer outputMemory;
    mpu::DmaBuffer inputMemory;
    mpu::EncoderChannel encoderChannel;
    mpu::RunningEncoder runningEncoder;
    mpu::MediaEpoll epoll;
};
