#include <array>
#include <memory>
#include <mutex>

#include "encoder_channel.h"
#include "media_log.h"
#include "media_system.h"
#include "mpu/fault_injection.h"
#include "mpu/mpu_venc.h"

namespace {

using mpu::fault::Operation;
using mpu::internal::EncoderChannel;
using mpu::internal::mediaLogger;

struct EncoderRegistry {
    std::mutex mutex;
    std::array<std::shared_ptr<EncoderChannel>, MPU_VENC_MAX_CHANNELS> channels;
    mpu_venc_codec_mod_param h264{};
    mpu_venc_codec_mod_param h265{};
};

EncoderRegistry& Registry() {
    static EncoderRegistry instance;
    return instance;
}

bool ValidId(std::int32_t channel) {
    return channel >= 0 && channel < MPU_VENC_MAX_CHANNELS;
}

std::shared_ptr<EncoderChannel> FindChannel(std::int32_t channel) {
    if (!ValidId(channel)) {
        return nullptr;
    }
    EncoderRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.channels[static_cast<std::size_t>(channel)];
}

mpu_venc_codec_mod_param* ModuleParam(EncoderRegistry& reg, std::uint32_t modType) {
    switch (modType) {
        case MPU_VENC_MOD_H264:
            return &reg.h264;
        case MPU_VENC_MOD_H265:
            return &reg.h265;
        default:
            return nullptr;
    }
}

}  // namespace

namespace mpu::internal {

void destroyAllEncoderChannels() {
    std::array<std::shared_ptr<EncoderChannel>, MPU_VENC_MAX_CHANNELS> leftovers;
    {
        EncoderRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        leftovers.swap(reg.channels);
    }
    for (const auto& channel : leftovers) {
        if (channel) {
            mediaLogger().LogWarn(ARA_LOG_HERE)
                << "media system exit destroys an encoder channel nobody destroyed";
            channel->close();
        }
    }
}

}  // namespace mpu::internal

extern "C" {

std::int32_t mpu_venc_get_mod_param(mpu_venc_mod_param* param) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencGetModParam)) {
        return injected;
    }
    if (param == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    EncoderRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const mpu_venc_codec_mod_param* current = ModuleParam(reg, param->mod_type);
    if (current == nullptr) {
        return MPU_ERR_ILLEGAL_PARAM;
    }
    param->codec = *current;
    return MPU_OK;
}

std::int32_t mpu_venc_set_mod_param(const mpu_venc_mod_param* param) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencSetModParam)) {
        return injected;
    }
    if (param == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    const mpu_venc_codec_mod_param& wanted = param->codec;
    if (wanted.one_stream_buffer > 1 || wanted.speed_preset > MPU_VENC_PRESET_MEDIUM ||
        wanted.reserved[0] != 0 || wanted.reserved[1] != 0) {
        mediaLogger().LogError(ARA_LOG_HERE)
            << "mpu_venc_set_mod_param: refused one stream buffer " << wanted.one_stream_buffer << ", preset "
            << wanted.speed_preset;
        return MPU_ERR_ILLEGAL_PARAM;
    }
    EncoderRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    mpu_venc_codec_mod_param* current = ModuleParam(reg, param->mod_type);
    if (current == nullptr) {
        return MPU_ERR_ILLEGAL_PARAM;
    }
    *current = wanted;
    return MPU_OK;
}

std::int32_t mpu_venc_create_chn(std::int32_t channel, const mpu_venc_chn_attr* attr) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencCreateChannel)) {
        return injected;
    }
    if (attr == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    if (!ValidId(channel)) {
        return MPU_ERR_INVALID_CHANNEL;
    }
    if (!mpu::internal::systemInitialized()) {
        return MPU_ERR_NOT_INITIALIZED;
    }
    EncoderRegistry& reg = Registry();
    mpu_venc_codec_mod_param moduleSettings{};
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.channels[static_cast<std::size_t>(channel)]) {
            return MPU_ERR_CHANNEL_EXISTS;
        }
        const bool h264 = attr->venc_attr.type == MPU_PAYLOAD_TYPE_H264;
        moduleSettings = h264 ? reg.h264 : reg.h265;
    }
    // Opening the codec takes a while; done without holding the registry.
    EncoderChannel::CreateResult created = EncoderChannel::create(*attr, moduleSettings);
    if (!created) {
        return created.Error();
    }
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto& slot = reg.channels[static_cast<std::size_t>(channel)];
    if (slot) {
        return MPU_ERR_CHANNEL_EXISTS;  // created meanwhile by another thread
    }
    slot = std::move(created).Value();
    return MPU_OK;
}

std::int32_t mpu_venc_destroy_chn(std::int32_t channel) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencDestroyChannel)) {
        return injected;
    }
    if (!ValidId(channel)) {
        return MPU_ERR_INVALID_CHANNEL;
    }
    std::shared_ptr<EncoderChannel> doomed;
    {
        EncoderRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto& slot = reg.channels[static_cast<std::size_t>(channel)];
        if (!slot) {
            return MPU_ERR_INVALID_CHANNEL;
        }
        if (const std::int32_t status = slot->canDestroy()) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_venc_destroy_chn: channel " << channel << " is started or has streams held";
            return status;
        }
        doomed = std::move(slot);
    }
    doomed->close();
    return MPU_OK;
}

std::int32_t mpu_venc_start_chn(std::int32_t channel, const mpu_venc_start_param* param) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencStartChannel)) {
        return injected;
    }
    if (param == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
    return target ? target->start(*param) : MPU_ERR_INVALID_CHANNEL;
}

std::int32_t mpu_venc_stop_chn(std::int32_t channel) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencStopChannel)) {
        return injected;
    }
    const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
    return target ? target->stop() : MPU_ERR_INVALID_CHANNEL;
}

std::int32_t mpu_venc_get_fd(std::int32_t channel) {
    if (mpu::fault::Consume(Operation::kVencGetFd) != 0) {
        return -1;
    }
    const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
    return target ? target->fd() : -1;
}

std::int32_t mpu_venc_send_frame(std::int32_t channel, const mpu_video_frame_info* frame,
                                 std::int32_t timeoutMs) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencSendFrame)) {
        return injected;
    }
    if (frame == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    if (timeoutMs < MPU_WAIT_FOREVER) {
        return MPU_ERR_ILLEGAL_PARAM;
    }
    const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
    return target ? target->sendFrame(*frame, timeoutMs) : MPU_ERR_INVALID_CHANNEL;
}

std::int32_t mpu_venc_query_status(std::int32_t channel, mpu_venc_chn_status* status) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencQueryStatus)) {
        return injected;
    }
    if (status == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
    return target ? target->queryStatus(status) : MPU_ERR_INVALID_CHANNEL;
}

std::int32_t mpu_venc_get_stream(std::int32_t channel, mpu_venc_stream* stream, std::int32_t timeoutMs) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencGetStream)) {
        return injected;
    }
    if (stream == nullptr || stream->pack == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    if (timeoutMs < MPU_WAIT_FOREVER) {
        return MPU_ERR_ILLEGAL_PARAM;
    }
    const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
    return target ? target->getStream(stream, timeoutMs) : MPU_ERR_INVALID_CHANNEL;
}

std::int32_t mpu_venc_release_stream(std::int32_t channel, const mpu_venc_stream* stream) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kVencReleaseStream)) {
        return injected;
    }
    if (stream == nullptr) {
        return MPU_ERR_NULL_PTR;
    }
    const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
    return target ? target->releaseStream(*stream) : MPU_ERR_INVALID_CHANNEL;
}

}  // extern "C"
