#pragma once

// The checks of what an encoder channel is given: its attributes when it is created, each frame when it is
// sent. Every refusal is logged with the field and the value refused.

#include "ara/core/result.h"
#include "mpu/mpu_venc.h"
#include "video_encoder.h"

namespace mpu::internal {

using SettingsResult = ara::core::Result<EncoderSettings, mpu_status>;

// The encoder settings for channel attributes `attr` under the codec's module parameters, or
// MPU_ERR_ILLEGAL_PARAM for attributes out of range or inconsistent with each other.
SettingsResult SettingsFrom(const mpu_venc_chn_attr& attr, const mpu_venc_codec_mod_param& moduleParam);

// MPU_OK for a frame the channel of `settings` can encode, MPU_ERR_BAD_PICTURE otherwise.
mpu_status CheckFrame(const mpu_video_frame& frame, const EncoderSettings& settings);

}  // namespace mpu::internal
