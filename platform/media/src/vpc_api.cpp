#include <map>
#include <memory>
#include <mutex>

#include "api_entry.h"
#include "media_log.h"
#include "media_system.h"
#include "mpu/fault_injection.h"
#include "mpu/mpu_vpc.h"
#include "picture_channel.h"
#include "picture_check.h"
#include "remap_table.h"

namespace {

using mpu::fault::Operation;
using mpu::internal::Guarded;
using mpu::internal::mediaLogger;
using mpu::internal::PictureChannel;

constexpr std::int32_t kMaxChannels = 64;
constexpr std::uint32_t kDefaultSlots = 8;
constexpr std::uint32_t kMostSlots = 64;
constexpr std::uint32_t kMostWorkspaces = 4;

// Live channels by id. Calls hold a reference while they use a channel, so destroying it meanwhile is safe.
struct ChannelRegistry {
    std::mutex mutex;
    std::map<std::int32_t, std::shared_ptr<PictureChannel>> channels;
};

ChannelRegistry& Registry() {
    static ChannelRegistry instance;
    return instance;
}

std::shared_ptr<PictureChannel> FindChannel(std::int32_t id) {
    ChannelRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const auto found = reg.channels.find(id);
    return found == reg.channels.end() ? nullptr : found->second;
}

bool ValidTableSize(std::uint32_t width, std::uint32_t height) {
    return width >= 2 && height >= 2 && width <= MPU_MAX_PICTURE_SIDE && height <= MPU_MAX_PICTURE_SIDE &&
           width % 2 == 0 && height % 2 == 0;
}

bool ValidTimeout(std::int32_t timeoutMs) {
    return timeoutMs >= MPU_WAIT_FOREVER;
}

// Queues `task` on `target` and hands its id out through `taskId`.
std::int32_t SubmitTo(PictureChannel& target, const mpu::internal::PictureTask& task, std::uint32_t* taskId,
                      std::int32_t timeoutMs) {
    const auto submitted = target.submit(task, timeoutMs);
    if (!submitted) {
        return submitted.Error();
    }
    *taskId = submitted.Value();
    return MPU_OK;
}

std::int32_t SubmitTo(std::int32_t channel, const mpu::internal::PictureTask& task, std::uint32_t* taskId,
                      std::int32_t timeoutMs) {
    const std::shared_ptr<PictureChannel> target = FindChannel(channel);
    return target ? SubmitTo(*target, task, taskId, timeoutMs) : MPU_ERR_INVALID_CHANNEL;
}

}  // namespace

namespace mpu::internal {

void destroyAllPictureChannels() {
    std::map<std::int32_t, std::shared_ptr<PictureChannel>> leftovers;
    {
        ChannelRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        leftovers.swap(reg.channels);
    }
    if (!leftovers.empty()) {
        mediaLogger().LogWarn(ARA_LOG_HERE)
            << "media system exit destroys " << leftovers.size() << " picture channel(s) nobody destroyed";
    }
}

}  // namespace mpu::internal

extern "C" {

std::int32_t mpu_vpc_sys_create_chn(std::int32_t* channel, const mpu_vpc_chn_attr* attr) {
    return Guarded(Operation::kVpcCreateChannel, [&]() -> std::int32_t {
        if (channel == nullptr || attr == nullptr) {
            return MPU_ERR_NULL_PTR;
        }
        if (attr->task_slots > kMostSlots || attr->reserved[0] != 0 || attr->reserved[1] != 0 ||
            attr->reserved[2] != 0) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        if (!mpu::internal::systemInitialized()) {
            return MPU_ERR_NOT_INITIALIZED;
        }
        ChannelRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        std::int32_t id = 0;
        while (id < kMaxChannels && reg.channels.count(id) != 0) {
            ++id;
        }
        if (id == kMaxChannels) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_vpc_sys_create_chn: all " << kMaxChannels << " channels are in use";
            return MPU_ERR_NO_MEMORY;
        }
        reg.channels.emplace(
            id, std::make_shared<PictureChannel>(attr->task_slots == 0 ? kDefaultSlots : attr->task_slots));
        *channel = id;
        return MPU_OK;
    });
}

std::int32_t mpu_vpc_destroy_chn(std::int32_t channel) {
    return Guarded(Operation::kVpcDestroyChannel, [&]() -> std::int32_t {
        std::shared_ptr<PictureChannel> doomed;
        {
            ChannelRegistry& reg = Registry();
            std::lock_guard<std::mutex> lock(reg.mutex);
            const auto found = reg.channels.find(channel);
            if (found == reg.channels.end()) {
                return MPU_ERR_INVALID_CHANNEL;
            }
            doomed = std::move(found->second);
            reg.channels.erase(found);
        }
        return MPU_OK;  // the worker finishes and stops when the last reference goes
    });
}

std::int32_t mpu_vpc_set_chn_workspace(std::int32_t channel, const mpu_vpc_workspace* workspaces,
                                       std::uint32_t count) {
    return Guarded(Operation::kVpcSetWorkspace, workspaces, [&]() -> std::int32_t {
        if (count == 0 || count > kMostWorkspaces) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const mpu_vpc_workspace& ws = workspaces[i];
            if (ws.workspace_type != MPU_VPC_WORKSPACE_REMAP ||
                !ValidTableSize(ws.src_width, ws.src_height) ||
                !ValidTableSize(ws.dst_width, ws.dst_height)) {
                mediaLogger().LogError(ARA_LOG_HERE)
                    << "mpu_vpc_set_chn_workspace: refused workspace " << i << ": type " << ws.workspace_type
                    << ", source " << ws.src_width << " x " << ws.src_height << ", destination "
                    << ws.dst_width << " x " << ws.dst_height;
                return MPU_ERR_ILLEGAL_PARAM;
            }
        }
        const std::shared_ptr<PictureChannel> target = FindChannel(channel);
        if (!target) {
            return MPU_ERR_INVALID_CHANNEL;
        }
        target->setWorkspaces(workspaces, count);
        return MPU_OK;
    });
}

std::int32_t mpu_vpc_get_lut_mem_size(std::uint32_t width, std::uint32_t height, std::uint32_t* size) {
    return Guarded(Operation::kVpcGetLutMemSize, size, [&]() -> std::int32_t {
        if (!ValidTableSize(width, height)) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_vpc_get_lut_mem_size: refused size " << width << " x " << height;
            return MPU_ERR_ILLEGAL_PARAM;
        }
        *size = static_cast<std::uint32_t>(mpu::internal::remap::tableSize(width, height));
        return MPU_OK;
    });
}

std::int32_t mpu_vpc_get_remap_lut(const mpu_remap_maps* maps, mpu_remap_lut* lut) {
    return Guarded(Operation::kVpcGetRemapLut, [&]() -> std::int32_t {
        if (maps == nullptr || lut == nullptr || maps->map_x == nullptr || maps->map_y == nullptr) {
            return MPU_ERR_NULL_PTR;
        }
        if (!ValidTableSize(maps->src_width, maps->src_height) ||
            !ValidTableSize(maps->dst_width, maps->dst_height) || maps->src_width != lut->src_width ||
            maps->src_height != lut->src_height || maps->dst_width != lut->dst_width ||
            maps->dst_height != lut->dst_height ||
            std::uint64_t{maps->map_size} !=
                std::uint64_t{maps->dst_width} * maps->dst_height * sizeof(float)) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_vpc_get_remap_lut: maps " << maps->src_width << " x " << maps->src_height << " -> "
                << maps->dst_width << " x " << maps->dst_height << " (" << maps->map_size
                << " bytes) do not fit table " << lut->src_width << " x " << lut->src_height << " -> "
                << lut->dst_width << " x " << lut->dst_height;
            return MPU_ERR_ILLEGAL_PARAM;
        }
        const std::uint64_t needed = mpu::internal::remap::tableSize(lut->dst_width, lut->dst_height);
        if (lut->lut_addr == nullptr || lut->lut_size < needed) {
            mediaLogger().LogError(ARA_LOG_HERE) << "mpu_vpc_get_remap_lut: table memory of " << lut->lut_size
                                                 << " bytes, " << needed << " needed";
            return MPU_ERR_BAD_TABLE;
        }
        const mpu::internal::remap::BuildSummary built =
            mpu::internal::remap::buildTable(*maps, lut->lut_addr);
        mediaLogger().LogInfo(ARA_LOG_HERE)
            << "mpu_vpc_get_remap_lut: " << built.linearBlocks << " of " << built.blocks
            << " blocks of 16 samples held as lines, the others sample by sample";
        if (built.clamped != 0) {
            mediaLogger().LogWarn(ARA_LOG_HERE)
                << "mpu_vpc_get_remap_lut: " << built.clamped
                << " samples lie further than 1022 samples from their neighbours in the maps; they are drawn "
                   "from the nearest position the table holds";
        }
        return MPU_OK;
    });
}

std::int32_t mpu_vpc_lut_remap(std::int32_t channel, const mpu_warp_transform_param* param,
                               const mpu_remap_lut* lut, std::uint32_t* taskId, std::int32_t timeoutMs) {
    return Guarded(Operation::kVpcLutRemap, [&]() -> std::int32_t {
        if (param == nullptr || lut == nullptr || taskId == nullptr) {
            return MPU_ERR_NULL_PTR;
        }
        if (param->interpolation != MPU_VPC_INTERPOLATION_BILINEAR || param->lut_count != 1 ||
            !ValidTimeout(timeoutMs)) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_vpc_lut_remap: refused interpolation " << param->interpolation << ", table count "
                << param->lut_count;
            return MPU_ERR_NOT_SUPPORTED;
        }
        std::int32_t status = mpu::internal::checkNv12(param->src_pic, "remap source");
        if (status == MPU_OK) {
            status = mpu::internal::checkNv12(param->dst_pic, "remap destination");
        }
        if (status != MPU_OK) {
            return status;
        }
        const mpu_vpc_pic_info& src = param->src_pic;
        const mpu_vpc_pic_info& dst = param->dst_pic;
        const auto table =
            mpu::internal::remap::viewTable(lut->lut_addr, lut->lut_size, src.picture_width,
                                            src.picture_height, dst.picture_width, dst.picture_height);
        if (!table) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_vpc_lut_remap: no table built for " << src.picture_width << " x "
                << src.picture_height << " -> " << dst.picture_width << " x " << dst.picture_height
                << " in the table memory";
            return MPU_ERR_BAD_TABLE;
        }
        const std::shared_ptr<PictureChannel> target = FindChannel(channel);
        if (!target) {
            return MPU_ERR_INVALID_CHANNEL;
        }
        if (!target->remapWorkspaceCovers(src.picture_width, src.picture_height, dst.picture_width,
                                          dst.picture_height)) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_vpc_lut_remap: channel " << channel << " has no remap workspace for these sizes";
            return MPU_ERR_NO_WORKSPACE;
        }
        const mpu::internal::RemapTask task{mpu::internal::nv12Planes(src), mpu::internal::nv12Planes(dst),
                                            table.Value()};
        return SubmitTo(*target, task, taskId, timeoutMs);
    });
}

std::int32_t mpu_vpc_crop_resize(std::int32_t channel, const mpu_vpc_pic_info* source,
                                 const mpu_vpc_crop_resize_region* regions, std::uint32_t regionCount,
                                 std::uint32_t* taskId, std::int32_t timeoutMs) {
    return Guarded(Operation::kVpcCropResize, [&]() -> std::int32_t {
        if (source == nullptr || regions == nullptr || taskId == nullptr) {
            return MPU_ERR_NULL_PTR;
        }
        if (regionCount == 0 || regionCount > MPU_VPC_MAX_CROP_REGIONS || !ValidTimeout(timeoutMs)) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        if (const std::int32_t status = mpu::internal::checkNv12(*source, "crop-resize source")) {
            return status;
        }
        mpu::internal::CropResizeTask task{};
        task.source = mpu::internal::nv12Planes(*source);
        task.jobCount = regionCount;
        for (std::uint32_t i = 0; i < regionCount; ++i) {
            const mpu_vpc_crop_resize_region& region = regions[i];
            if (const std::int32_t status =
                    mpu::internal::checkNv12(region.dest_pic_info, "crop-resize destination")) {
                return status;
            }
            if (const std::int32_t status = mpu::internal::checkCropWindow(*source, region.crop_region)) {
                return status;
            }
            if (region.resize_info.resize_width != region.dest_pic_info.picture_width ||
                region.resize_info.resize_height != region.dest_pic_info.picture_height ||
                region.resize_info.interpolation > MPU_VPC_INTERPOLATION_AREA) {
                mediaLogger().LogError(ARA_LOG_HERE)
                    << "mpu_vpc_crop_resize: resize to " << region.resize_info.resize_width << " x "
                    << region.resize_info.resize_height << " (interpolation "
                    << region.resize_info.interpolation << ") does not fit the "
                    << region.dest_pic_info.picture_width << " x " << region.dest_pic_info.picture_height
                    << " destination";
                return MPU_ERR_ILLEGAL_PARAM;
            }
            task.jobs[i] = mpu::internal::CropResizeJob{region.crop_region,
                                                        mpu::internal::nv12Planes(region.dest_pic_info),
                                                        region.resize_info.interpolation};
        }
        return SubmitTo(channel, task, taskId, timeoutMs);
    });
}

std::int32_t mpu_vpc_convert_color(std::int32_t channel, const mpu_vpc_pic_info* source,
                                   const mpu_vpc_pic_info* destination, std::uint32_t* taskId,
                                   std::int32_t timeoutMs) {
    return Guarded(Operation::kVpcConvertColor, [&]() -> std::int32_t {
        if (source == nullptr || destination == nullptr || taskId == nullptr) {
            return MPU_ERR_NULL_PTR;
        }
        if (!ValidTimeout(timeoutMs)) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        if (const std::int32_t status = mpu::internal::checkNv12(*source, "conversion source")) {
            return status;
        }
        if (const std::int32_t status = mpu::internal::checkPacked(*destination, "conversion destination")) {
            return status;
        }
        if (source->picture_width != destination->picture_width ||
            source->picture_height != destination->picture_height) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_vpc_convert_color: source " << source->picture_width << " x "
                << source->picture_height << " and destination " << destination->picture_width << " x "
                << destination->picture_height << " differ in size";
            return MPU_ERR_BAD_PICTURE;
        }
        const mpu::internal::ConvertTask task{mpu::internal::nv12Planes(*source),
                                              mpu::internal::packedPicture(*destination)};
        return SubmitTo(channel, task, taskId, timeoutMs);
    });
}

std::int32_t mpu_vpc_get_process_result(std::int32_t channel, std::uint32_t taskId, std::int32_t timeoutMs) {
    return Guarded(Operation::kVpcGetProcessResult, [&]() -> std::int32_t {
        if (!ValidTimeout(timeoutMs)) {
            return MPU_ERR_ILLEGAL_PARAM;
        }
        const std::shared_ptr<PictureChannel> target = FindChannel(channel);
        if (!target) {
            return MPU_ERR_INVALID_CHANNEL;
        }
        return target->collect(taskId, timeoutMs);
    });
}

}  // extern "C"
