#include "encoder_attributes.h"

#include "media_log.h"

namespace mpu::internal {
namespace {

constexpr std::uint32_t kMaxBitRateKbps = 800000;
constexpr std::uint32_t kMaxQp = 51;
constexpr std::int32_t kMaxIpQpDelta = 10;
constexpr std::uint32_t kMaxStreamBuffer = 512u << 20;

SettingsResult RefuseAttribute(const char* field, std::int64_t value) {
    mediaLogger().LogError(ARA_LOG_HERE) << "mpu_venc_create_chn: refused " << field << " " << value;
    return SettingsResult::FromError(MPU_ERR_ILLEGAL_PARAM);
}

bool ValidSide(std::uint32_t side) {
    return side >= MPU_VENC_MIN_PICTURE_SIDE && side <= MPU_MAX_PICTURE_SIDE && side % 2 == 0;
}

}  // namespace

SettingsResult SettingsFrom(const mpu_venc_chn_attr& attr, const mpu_venc_codec_mod_param& moduleParam) {
    const mpu_venc_attr& venc = attr.venc_attr;
    const mpu_venc_rc_attr& rc = attr.rc_attr;
    EncoderSettings s;
    if (venc.type == MPU_PAYLOAD_TYPE_H264) {
        s.codec = Codec::kH264;
    } else if (venc.type == MPU_PAYLOAD_TYPE_H265) {
        s.codec = Codec::kH265;
    } else {
        return RefuseAttribute("payload type", venc.type);
    }
    if (!ValidSide(venc.pic_width)) {
        return RefuseAttribute("picture width", venc.pic_width);
    }
    if (!ValidSide(venc.pic_height)) {
        return RefuseAttribute("picture height", venc.pic_height);
    }
    if (venc.max_pic_width < venc.pic_width || venc.max_pic_height < venc.pic_height) {
        return RefuseAttribute("maximum picture size below the picture size, width", venc.max_pic_width);
    }
    if (venc.buf_size < std::uint64_t{venc.pic_width} * venc.pic_height || venc.buf_size > kMaxStreamBuffer) {
        return RefuseAttribute("stream buffer size", venc.buf_size);
    }
    if (venc.profile > (s.codec == Codec::kH264 ? MPU_VENC_PROFILE_HIGH : MPU_VENC_PROFILE_BASELINE)) {
        return RefuseAttribute("profile", venc.profile);
    }
    if (venc.is_by_frame != 1) {
        return RefuseAttribute("stream by frame", venc.is_by_frame);
    }
    const bool h264 = s.codec == Codec::kH264;
    switch (rc.rc_mode) {
        case MPU_VENC_RC_H264_CBR:
        case MPU_VENC_RC_H265_CBR:
            s.rateControl = RateControl::kConstant;
            break;
        case MPU_VENC_RC_H264_VBR:
        case MPU_VENC_RC_H265_VBR:
            s.rateControl = RateControl::kVariable;
            break;
        case MPU_VENC_RC_H264_FIXQP:
        case MPU_VENC_RC_H265_FIXQP:
            s.rateControl = RateControl::kFixedQp;
            break;
        default:
            return RefuseAttribute("rate-control mode", rc.rc_mode);
    }
    if ((rc.rc_mode < MPU_VENC_RC_H265_CBR) != h264) {
        return RefuseAttribute("rate-control mode of the other codec", rc.rc_mode);
    }
    // The rate control's timing, checked in this order: GOP length in frames, statistics time in seconds, and
    // frame rates; the encoder keeps dst of every src frames.
    const struct {
        const char* field;
        std::uint64_t value;
        std::uint64_t min;
        std::uint64_t max;
    } timing[] = {{"GOP length", rc.gop, 0, MPU_VENC_MAX_GOP},
                  {"statistics time", rc.stat_time, 1, 60},
                  {"source frame rate", rc.src_frame_rate, 1, 240},
                  {"destination frame rate", rc.dst_frame_rate, 1, rc.src_frame_rate}};
    for (const auto& range : timing) {
        if (range.value < range.min || range.value > range.max) {
            return RefuseAttribute(range.field, static_cast<std::int64_t>(range.value));
        }
    }
    if (s.rateControl == RateControl::kConstant && (rc.bit_rate < 2 || rc.bit_rate > kMaxBitRateKbps)) {
        return RefuseAttribute("bit rate", rc.bit_rate);
    }
    if (s.rateControl == RateControl::kVariable) {
        if (rc.max_bit_rate < 2 || rc.max_bit_rate > kMaxBitRateKbps) {
            return RefuseAttribute("maximum bit rate", rc.max_bit_rate);
        }
        if (rc.max_qp > kMaxQp || rc.min_qp > rc.max_qp) {
            return RefuseAttribute("quantiser range, maximum", rc.max_qp);
        }
    }
    if (s.rateControl == RateControl::kFixedQp && (rc.i_qp > kMaxQp || rc.p_qp > kMaxQp)) {
        return RefuseAttribute("fixed quantiser, P", rc.p_qp);
    }
    if (attr.gop_attr.gop_mode != MPU_VENC_GOP_NORMAL_P) {
        return RefuseAttribute("GOP mode", attr.gop_attr.gop_mode);
    }
    if (attr.gop_attr.ip_qp_delta < 0 || attr.gop_attr.ip_qp_delta > kMaxIpQpDelta) {
        return RefuseAttribute("I/P quantiser delta", attr.gop_attr.ip_qp_delta);
    }
    s.width = venc.pic_width;
    s.height = venc.pic_height;
    s.profile = venc.profile;
    s.speedPreset = moduleParam.speed_preset;
    s.framesPerSecond = rc.dst_frame_rate;
    s.gop = rc.gop;
    s.bitRateKbps = rc.bit_rate;
    s.maxBitRateKbps = rc.max_bit_rate;
    s.statTimeSeconds = rc.stat_time;
    s.minQp = rc.min_qp;
    s.maxQp = rc.max_qp;
    s.iQp = rc.i_qp;
    s.pQp = rc.p_qp;
    s.ipQpDelta = attr.gop_attr.ip_qp_delta;
    return s;
}

mpu_status CheckFrame(const mpu_video_frame& frame, const EncoderSettings& settings) {
    const char* problem = nullptr;
    std::int64_t value = 0;
    if (frame.width != settings.width || frame.height != settings.height) {
        problem = "size differs from the channel's, width";
        value = frame.width;
    } else if (frame.pixel_format != MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420) {
        problem = "pixel format";
        value = frame.pixel_format;
    } else if (frame.field != MPU_VIDEO_FIELD_FRAME) {
        problem = "field";
        value = frame.field;
    } else if (frame.video_format != 0 || frame.compress_mode != 0 || frame.dynamic_range != 0) {
        problem = "layout, compression or dynamic range; video format";
        value = frame.video_format;
    } else if (frame.color_gamut > MPU_COLOR_GAMUT_BT2020) {
        problem = "colour gamut";
        value = frame.color_gamut;
    } else if (frame.width_stride[0] < frame.width || frame.width_stride[1] < frame.width) {
        problem = "width stride below width";
        value = frame.width_stride[0] < frame.width ? frame.width_stride[0] : frame.width_stride[1];
    } else if (frame.virt_addr[0] == nullptr || frame.virt_addr[1] == nullptr) {
        problem = "null plane address";
    }
    if (problem == nullptr) {
        return MPU_OK;
    }
    mediaLogger().LogError(ARA_LOG_HERE) << "mpu_venc_send_frame: frame refused: " << problem << " " << value;
    return MPU_ERR_BAD_PICTURE;
}

}  // namespace mpu::internal
