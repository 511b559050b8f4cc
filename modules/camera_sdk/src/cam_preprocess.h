#pragma once

#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "acc/acc_runtime.h"
#include "ara/log/logger.h"
#include "mpu/mpu_sys.h"
#include "mpu/mpu_venc.h"
#include "mpu/mpu_vpc.h"
#include "vcu/camera/camera_types.h"

// The per-camera media preprocessor: optional undistortion, crop-resize and conversion to BGR on the media
// unit's picture channel, and the camera's video encoder channel.
//
// One object per camera worker; every operation runs on that worker's thread (not thread-safe). Calling
// order: constructor, init, allocateMemory, then per frame getInputAddress (the frame's NV12 address is
// written through it), setFrameAuxiliaryInfo, changeResizeSize, runPreprocessPipeline, runEncoderPipeline.
// The object owns the picture buffers, the remap maps and table, both channels, the epoll instance and its
// share of the runtime start-up; the camera frame it reads stays the camera's.
class CamPreprocess {
  public:
    // Platform id of camera index 0; a camera's id is its index plus this, as in "cam_8".
    static constexpr unsigned kFirstCameraId = 8;

    explicit CamPreprocess(unsigned char cameraIndex);
    ~CamPreprocess();
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

    int allocateByPicInfo(mpu_vpc_pic_info& pic);
    int allocateByCropResizeRegion(mpu_vpc_crop_resize_region& region);
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
    // Media memory this object allocated, so teardown frees exactly that (the records' address fields may
    // point at a camera frame by then).
    struct OwnedMemory {
        void* input{nullptr};
        void* output{nullptr};
        void* cropResize{nullptr};
        void* undistortionSource{nullptr};
        void* undistortionDestination{nullptr};
        void* remapTable{nullptr};
        std::uint64_t cropResizeBytes{0};
        std::uint64_t outputBytes{0};
    };
    // What start-up acquired, so teardown gives back only that: the runtime and media system start-ups are
    // counted process-wide, and an extra exit would end another camera's.
    struct Acquired {
        bool accInitialized{false};
        bool deviceSet{false};
        bool contextCreated{false};
        bool mediaSystem{false};
        bool vpcChannel{false};
        bool encoderChannel{false};
        bool encoderStarted{false};
        bool epoll{false};
    };

    std::uint32_t readNumber(const boost::property_tree::ptree& config, const std::string& section,
                             const char* key);
    void refuseValue(const std::string& section, const char* key, std::uint32_t value, const char* why);
    void checkConfiguration(const std::string& section);
    bool readMapFile(const std::string& path, std::unique_ptr<float[]>* values);
    void disableUndistortion();
    int allocateInto(void** slot, std::uint32_t size, const char* failureMessage);
    void discardLeftoverStreams();
    int waitForEncoderInput();
    void releaseMemory();
    void releaseEncoder();

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
    std::int32_t epollFd{0};
    mpu_sys_epoll_event epollEvent{};
    std::int32_t encoderFd{-1};
    vcu::camera::CameraData cameraData;
    std::int32_t vpcChannel{-1};
    mpu_vpc_chn_attr vpcChannelAttr{};
    accrtContext context{nullptr};
    ara::log::Logger& logger;
    // "camera <id>: ", the start of every message of this preprocessor.
    const std::string cameraTag;

    std::unique_ptr<float[]> remapMapX;
    std::unique_ptr<float[]> remapMapY;
    std::int32_t lutSizeStatus{0};
    OwnedMemory owned;
    Acquired acquired;
    // A frame was sent to the encoder and its stream has not come back yet.
    bool encoderInputPending{false};
};
