#include <array>
#include <memory>
#include <mutex>

#include "api_entry.h"
#include "encoder_channel.h"
#include "media_log.h"
#include "media_system.h"
#include "mpu/fault_injection.h"
#include "mpu/mpu_venc.h"

namespace {

using mpu::fault::Operation;
using mpu::internal::EncoderChannel;
using mpu::internal::Guarded;
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

// MPU_OK for arguments a call on a channel can take: `present`, its record pointer is not null, and
// `timeoutMs` is MPU_WAIT_FOREVER or more.
std::int32_t Arguments(bool present, std::int32_t timeoutMs = MPU_WAIT_FOREVER) {
    if (!present) {
        return MPU_ERR_NULL_PTR;
    }
    return timeoutMs < MPU_WAIT_FOREVER ? MPU_ERR_ILLEGAL_PARAM : MPU_OK;
}

// The entry of a call on one channel: refused with `argumentStatus` unless that is MPU_OK, then `call` runs
// on the live channel, or the call fails with MPU_ERR_INVALID_CHANNEL.
template <class Call>
std::int32_t OnChannel(Operation operation, std::int32_t channel, std::int32_t argumentStatus, Call call) {
    return Guarded(operation, [&]() -> std::int32_t {
        if (argumentStatus != MPU_OK) {
            return argumentStatus;
        }
        const std::shared_ptr<EncoderChannel> target = FindChannel(channel);
        return target ? call(*target) : MPU_ERR_INVALID_CHANNEL;
    });
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

StreamWait::StreamWait(const int* fds, std::size_t count) {
    {
        EncoderRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        for (std::size_t i = 0; i < count && count_ < channels_.size(); ++i) {
            for (const auto& candidate : reg.channels) {
                if (candidate && candidate->fd() == fds[i]) {
                    channels_[count_++] = candidate;
                    break;
                }
            }
        }
    }
    for (std::size_t i = 0; i < count_; ++i) {
        channels_[i]->beginWaitForStream();
    }
}

StreamWait::~StreamWait() {
    for (std::size_t i = 0; i < count_; ++i) {
        channels_[i]->endWaitForStream();
    }
}

}  // namespace mpu::internal

extern "C" {

std::int32_t mpu_venc_get_mod_param(mpu_venc_mod_param* param) {
    return Guarded(Operation::kVencGetModParam, param, [&]() -> std::int32_t {
        EncoderRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        const mpu_venc_codec_mod_param* current = ModuleParam(reg, param->mod_type);
        if (current == nullptr) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        param->codec = *current;
        return MPU_OK;
    });
}

std::int32_t mpu_venc_set_mod_param(const mpu_venc_mod_param* param) {
    return Guarded(Operation::kVencSetModParam, param, [&]() -> std::int32_t {
        const mpu_venc_codec_mod_param& wanted = param->codec;
        if (wanted.one_stream_buffer > 1 || wanted.speed_preset > MPU_VENC_PRESET_MEDIUM ||
            wanted.reserved[0] != 0 || wanted.reserved[1] != 0) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_venc_set_mod_param: refused one stream buffer " << wanted.one_stream_buffer
                << ", preset " << wanted.speed_preset;
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
    });
}

std::int32_t mpu_venc_create_chn(std::int32_t channel, const mpu_venc_chn_attr* attr) {
    return Guarded(Operation::kVencCreateChannel, attr, [&]() -> std::int32_t {
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
    });
}

std::int32_t mpu_venc_destroy_chn(std::int32_t channel) {
    return Guarded(Operation::kVencDestroyChannel, [&]() -> std::int32_t {
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
    });
}

std::int32_t mpu_venc_start_chn(std::int32_t channel, const mpu_venc_start_param* param) {
    return OnChannel(Operation::kVencStartChannel, channel, Arguments(param != nullptr),
                     [&](EncoderChannel& target) { return target.start(*param); });
}

std::int32_t mpu_venc_stop_chn(std::int32_t channel) {
    return OnChannel(Operation::kVencStopChannel, channel, MPU_OK,
                     [](EncoderChannel& target) { return target.stop(); });
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
    return OnChannel(Operation::kVencSendFrame, channel, Arguments(frame != nullptr, timeoutMs),
                     [&](EncoderChannel& target) { return target.sendFrame(*frame, timeoutMs); });
}

std::int32_t mpu_venc_query_status(std::int32_t channel, mpu_venc_chn_status* status) {
    return OnChannel(Operation::kVencQueryStatus, channel, Arguments(status != nullptr),
                     [&](EncoderChannel& target) {
                         *status = target.queryStatus();
                         return MPU_OK;
                     });
}

std::int32_t mpu_venc_get_stream(std::int32_t channel, mpu_venc_stream* stream, std::int32_t timeoutMs) {
    return OnChannel(Operation::kVencGetStream, channel,
                     Arguments(stream != nullptr && stream->pack != nullptr, timeoutMs),
                     [&](EncoderChannel& target) { return target.getStream(stream, timeoutMs); });
}

std::int32_t mpu_venc_release_stream(std::int32_t channel, const mpu_venc_stream* stream) {
    return OnChannel(Operation::kVencReleaseStream, channel, Arguments(stream != nullptr),
                     [&](EncoderChannel& target) { return target.releaseStream(*stream); });
}

}  // extern "C"
