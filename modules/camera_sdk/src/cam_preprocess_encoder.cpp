// The preprocessor's encoder channel: its start-up and the encoding of the crop-resized picture.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <thread>

#include "ara/log/logging.h"
#include "cam_preprocess.h"

namespace {

constexpr std::uint32_t kEncoderModule = MPU_VENC_MOD_H264;
constexpr std::uint32_t kEncoderPayload = MPU_PAYLOAD_TYPE_H264;
constexpr std::uint32_t kRateControlVbr = MPU_VENC_RC_H264_VBR;
constexpr std::uint32_t kFramesPerSecond = 30;
constexpr std::uint32_t kMaxBitRateKbps = 4000;
constexpr std::int32_t kIpQpDelta = 3;
// How long a new frame waits for the encoder to finish reading the previous picture before it is dropped.
constexpr auto kEncoderInputWait = std::chrono::milliseconds(1000);

// One fetched stream with its packet records: gives the stream back to its encoder channel when the last
// handle is dropped (only once it was handed out).
struct HeldStream {
    HeldStream(unsigned char channelId, std::uint32_t packCount)
        : channel(channelId), packs(std::make_unique<mpu_venc_pack[]>(packCount)) {
        stream.pack = packs.get();
        stream.pack_count = packCount;
    }
    HeldStream(const HeldStream&) = delete;
    HeldStream& operator=(const HeldStream&) = delete;
    ~HeldStream() {
        if (fetched && mpu_venc_release_stream(channel, &stream) != 0) {
            std::cout << "mpu_venc_release_stream failed" << std::endl;
        }
    }

    unsigned char channel;
    std::unique_ptr<mpu_venc_pack[]> packs;
    mpu_venc_stream stream{};
    bool fetched{false};
};

}  // namespace

int CamPreprocess::createEncoderChannel(int width, int height, int bufferFactor) {
    mpu_venc_mod_param moduleParam{};
    moduleParam.mod_type = kEncoderModule;
    mpu_venc_get_mod_param(&moduleParam);
    // The consumer reads each frame from its first packet: the whole frame goes into one.
    moduleParam.codec.one_stream_buffer = 1;
    mpu_venc_set_mod_param(&moduleParam);

    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    mpu_venc_chn_attr attr{};
    attr.venc_attr.type = kEncoderPayload;
    attr.venc_attr.max_pic_width = w;
    attr.venc_attr.max_pic_height = h;
    attr.venc_attr.buf_size = static_cast<std::uint32_t>(bufferFactor) * w * h;
    attr.venc_attr.profile = 0;
    attr.venc_attr.is_by_frame = 1;
    attr.venc_attr.pic_width = w;
    attr.venc_attr.pic_height = h;
    attr.rc_attr.rc_mode = kRateControlVbr;
    attr.rc_attr.gop = encoderGopNumber;
    attr.rc_attr.stat_time = 1;
    attr.rc_attr.src_frame_rate = kFramesPerSecond;
    attr.rc_attr.dst_frame_rate = kFramesPerSecond;
    attr.rc_attr.max_bit_rate = kMaxBitRateKbps;
    attr.gop_attr.gop_mode = MPU_VENC_GOP_NORMAL_P;
    attr.gop_attr.ip_qp_delta = kIpQpDelta;
    int ret = mpu_venc_create_chn(cameraIndex, &attr);
    if (ret != 0) {
        // Nothing to start or wait for: every frame of this camera would fail.
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "encoder create channel returned 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    const std::string channel = std::to_string(static_cast<unsigned>(cameraIndex));
    encoderChannel = mpu::EncoderChannel(
        cameraIndex, teardownReport("destroy encoder channel " + channel,
                                    "failed to destroy encoder channel " + channel + " with value: ", true));
    logger.LogInfo(ARA_LOG_HERE) << cameraTag << "encoder create channel returned 0x"
                                 << ara::log::HexFormat(ret);

    const mpu_venc_start_param start{-1};
    ret = mpu_venc_start_chn(cameraIndex, &start);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to start encoder channel with result 0x" << ara::log::HexFormat(ret);
        return ret;
    }

    runningEncoder = mpu::RunningEncoder(
        cameraIndex, teardownReport("", "failed to stop encoder channel " + channel, false));

    std::int32_t epollFd = 0;
    encoderFd = mpu_venc_get_fd(cameraIndex);
    ret = mpu_sys_create_epoll(10, &epollFd);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to create epoll instance with result 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    epoll = mpu::MediaEpoll(
        epollFd, teardownReport("", "failed to close epoll instance " + std::to_string(epollFd), false));
    epollEvent.events = MPU_SYS_EPOLL_IN;
    epollEvent.data = reinterpret_cast<void*>(static_cast<std::intptr_t>(encoderFd));
    ret = mpu_sys_ctl_epoll(epollFd, MPU_SYS_EPOLL_CTL_ADD, encoderFd, &epollEvent);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "failed to wait for encoder descriptor " << encoderFd
                                      << " with result 0x" << ara::log::HexFormat(ret);
    }
    return ret;
}

// The encoder reads the crop-resized picture in place. A frame whose stream did not come back (time-out,
// failed fetch) may still be queued in the encoder; the picture is not written again until it has been read.
int CamPreprocess::waitForEncoderInput() {
    if (!encoderInputPending) {
        return 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + kEncoderInputWait;
    for (;;) {
        mpu_venc_chn_status status{};
        const int ret = mpu_venc_query_status(cameraIndex, &status);
        if (ret != 0) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << "encoder status query failed with result 0x" << ara::log::HexFormat(ret);
            return ret;
        }
        if (status.left_pics == 0) {
            encoderInputPending = false;
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag
                << "the encoder still reads the previous picture; the picture is not overwritten";
            return MPU_ERR_TIMEOUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

unsigned char CamPreprocess::h265Encoder(std::shared_ptr<mpu_venc_stream>* stream) {
    if (runMode == ACC_HOST) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "ACC_HOST mode is not supported";
        return 1;
    }
    discardLeftoverStreams();
    // The channel was created at the output size: it gets the crop-resized picture, in its own geometry.
    const mpu_vpc_pic_info& picture = cropResizeRegion.dest_pic_info;
    mpu_video_frame_info frameInfo{};
    mpu_video_frame& frame = frameInfo.v_frame;
    frame.width = picture.picture_width;
    frame.height = picture.picture_height;
    frame.field = MPU_VIDEO_FIELD_FRAME;
    frame.pixel_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    frame.video_format = 0;
    frame.compress_mode = 0;
    frame.dynamic_range = 0;
    frame.color_gamut = MPU_COLOR_GAMUT_BT709;
    frame.width_stride[0] = frame.width_stride[1] = frame.width_stride[2] = picture.picture_width_stride;
    auto* luma = static_cast<std::uint8_t*>(picture.picture_address);
    frame.virt_addr[0] = luma;
    frame.virt_addr[1] =
        luma == nullptr ? nullptr
                        : luma + std::uint64_t{picture.picture_width_stride} * picture.picture_height_stride;
    frameCounter += 2;
    frame.time_ref = frameCounter;
    const vcu::camera::CameraTimestamp& captured = cameraData.auxiliaryInfo.captureTime();
    frame.pts =
        static_cast<std::uint64_t>(captured.sec) * 1000000000ull + static_cast<std::uint64_t>(captured.nsec);
    frameInfo.pool_id = 0;
    frameInfo.mod_id = 8;

    int ret = mpu_venc_send_frame(cameraIndex, &frameInfo, -1);
    if (ret != 0) {
        return lowByte(ret);
    }
    // Until its stream is back the encoder may still read the picture in place.
    encoderInputPending = true;
    mpu_sys_epoll_event events[3] = {};
    std::int32_t eventCount = 0;
    mpu_sys_wait_epoll(epoll.get(), events, 3, 1000, &eventCount);

    mpu_venc_chn_status status{};
    ret = mpu_venc_query_status(cameraIndex, &status);
    if (ret != 0) {
        return lowByte(ret);
    }
    if (status.cur_packs == 0) {
        return lowByte(MPU_ERR_BUF_EMPTY);
    }
    auto held = std::make_shared<HeldStream>(cameraIndex, status.cur_packs);
    ret = mpu_venc_get_stream(cameraIndex, &held->stream, -1);
    if (ret != 0) {
        return lowByte(ret);  // nothing was handed out, so there is nothing to release
    }
    held->fetched = true;
    // The stream is out, so the encoder has read the picture (it takes one frame in, one stream out).
    encoderInputPending = false;
    *stream = std::shared_ptr<mpu_venc_stream>(held, &held->stream);
    return 0;
}

// A frame that failed after sending (its stream was not fetched in time) leaves its stream waiting; fetching
// that one for the next frame would put every later frame one behind, so it is dropped here.
void CamPreprocess::discardLeftoverStreams() {
    mpu_venc_chn_status status{};
    while (mpu_venc_query_status(cameraIndex, &status) == 0 && status.left_stream_frames > 0 &&
           status.cur_packs > 0) {
        std::unique_ptr<mpu_venc_pack[]> packs(new mpu_venc_pack[status.cur_packs]());
        mpu_venc_stream leftover{packs.get(), status.cur_packs, 0, 0};
        if (mpu_venc_get_stream(cameraIndex, &leftover, 0) != 0 ||
            mpu_venc_release_stream(cameraIndex, &leftover) != 0) {
            return;
        }
        logger.LogWarn(ARA_LOG_HERE) << cameraTag << "dropped the stream of an earlier frame, time reference "
                                     << leftover.time_ref;
    }
}

unsigned char CamPreprocess::runEncoderPipeline(std::shared_ptr<mpu_venc_stream>* stream) {
    return logStage(h265Encoder(stream), "image H.265 encoding", "image encoded to H.265");
}
