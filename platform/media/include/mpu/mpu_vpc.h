#pragma once

// Picture processing (VPC): channels that run picture tasks asynchronously, and the remap lookup table.
//
// A channel owns one worker thread. Submitting a task checks its records first; when something is wrong it
// returns a non-zero status at once and the task never touches memory. Otherwise it copies the records,
// writes the task id and returns; the task runs on the channel's worker, or on the caller's thread when it
// comes to wait for the task before the worker has started it (a channel whose callers wait for each task at
// once leaves a lone task to them). The pictures must stay valid and the destination untouched by the caller
// until mpu_vpc_get_process_result has returned for that task id. Tasks of one channel run one after the
// other in submission order; different channels run in parallel. A submit waits up to its time-out for a
// free task slot, but fails at once with MPU_ERR_QUEUE_FULL when every slot holds a result nobody has
// collected. All calls are thread-safe.
//
// Picture rules every task checks (MPU_ERR_BAD_PICTURE otherwise):
//   - non-null address, known format, width and height in 1..MPU_MAX_PICTURE_SIDE;
//   - NV12: even width and height, width stride >= width, height stride >= height, the chroma plane starts
//     at address + width stride x height stride, buffer size >= width stride x (height stride + height / 2);
//   - packed RGB/BGR: width stride (bytes) >= 3 x width, height stride >= height,
//     buffer size >= width stride x height stride.

#include <cstdint>

#include "mpu/mpu_common.h"

// Smallest NV12 picture width and height a picture task takes (NV12 sides are even).
inline constexpr std::uint32_t MPU_VPC_MIN_NV12_SIDE = 2;

struct mpu_vpc_pic_info {
    void* picture_address;
    std::uint32_t picture_buffer_size;    // bytes
    std::uint32_t picture_width;          // pixels
    std::uint32_t picture_height;         // pixels
    std::uint32_t picture_width_stride;   // bytes from one row to the next
    std::uint32_t picture_height_stride;  // rows from one plane to the next (NV12)
    std::uint32_t picture_format;         // mpu_pixel_format
};

// Window cut out of the source picture, in source pixels. It must not be empty and must lie inside the
// source (MPU_ERR_BAD_WINDOW). An odd offset or size is allowed; the chroma window then starts at the chroma
// sample that covers the first luma column or row.
struct mpu_vpc_crop_region {
    std::uint32_t left_offset;
    std::uint32_t top_offset;
    std::uint32_t crop_width;
    std::uint32_t crop_height;
};

enum mpu_vpc_interpolation : std::uint32_t {
    MPU_VPC_INTERPOLATION_BILINEAR = 0,
    MPU_VPC_INTERPOLATION_NEAREST = 1,
    MPU_VPC_INTERPOLATION_AREA = 2,  // box filter: best for large reductions
};

// Size the cropped window is scaled to; it must equal the destination picture's size.
struct mpu_vpc_resize_info {
    std::uint32_t resize_width;
    std::uint32_t resize_height;
    std::uint32_t interpolation;  // mpu_vpc_interpolation
};

// One output of a crop-resize task: NV12 destination picture, window and size.
struct mpu_vpc_crop_resize_region {
    mpu_vpc_pic_info dest_pic_info;
    mpu_vpc_crop_region crop_region;
    mpu_vpc_resize_info resize_info;
};

inline constexpr std::uint32_t MPU_VPC_MAX_CROP_REGIONS = 16;

// Channel attributes; an all-zero record selects the defaults.
struct mpu_vpc_chn_attr {
    std::uint32_t task_slots;   // tasks submitted and not yet collected, 0 = default (8), at most 64
    std::uint32_t reserved[3];  // must be 0
};

// ---- Remap (undistortion) ----
//
// Two float maps give, for every pixel (x, y) of the destination picture, the column (map_x) and row (map_y)
// of the source picture to sample, pixel centres at whole numbers. mpu_vpc_get_remap_lut turns them once
// into a compact fixed-point table (source position in 1/32 pixel); mpu_vpc_lut_remap applies it to NV12
// pictures with bilinear filtering, the luma plane through the luma table and the interleaved chroma plane
// through a chroma table built at the real chroma sample positions (chroma sample (i, j) sits at luma
// position (2i, 2j + 0.5)). Neighbours outside the source count as black (Y 16, U and V 128): a map
// coordinate well outside the source gives black, one at the source's edge blends into black.

// The two float maps: `map_size` bytes each (dst_width x dst_height x 4), row by row.
struct mpu_remap_maps {
    float* map_x;
    float* map_y;
    std::uint32_t map_size;
    std::uint32_t src_width;  // source picture size the maps point into
    std::uint32_t src_height;
    std::uint32_t dst_width;  // destination (map) size
    std::uint32_t dst_height;
};

// A lookup table: its sizes, and memory of `lut_size` bytes from mpu_dma_malloc. Building writes the table
// into that memory; the memory must not be changed afterwards.
struct mpu_remap_lut {
    std::uint32_t src_width;
    std::uint32_t src_height;
    std::uint32_t dst_width;
    std::uint32_t dst_height;
    void* lut_addr;
    std::uint32_t lut_size;
};

// A remap task: NV12 source and destination pictures (sizes those of the table), interpolation (bilinear is
// the only mode) and the number of tables handed to mpu_vpc_lut_remap (1).
struct mpu_warp_transform_param {
    mpu_vpc_pic_info src_pic;
    mpu_vpc_pic_info dst_pic;
    std::uint32_t interpolation;  // MPU_VPC_INTERPOLATION_BILINEAR
    std::uint32_t lut_count;      // 1
};

enum mpu_vpc_workspace_type : std::uint32_t {
    MPU_VPC_WORKSPACE_REMAP = 0,
};

// Working room a channel reserves for a kind of task. A remap needs a remap workspace covering its source
// and destination sizes.
struct mpu_vpc_workspace {
    std::uint32_t workspace_type;  // mpu_vpc_workspace_type
    std::uint32_t src_width;
    std::uint32_t src_height;
    std::uint32_t dst_width;
    std::uint32_t dst_height;
};

extern "C" {

// Creates a channel; `*channel` receives its id. Needs mpu_sys_init.
std::int32_t mpu_vpc_sys_create_chn(std::int32_t* channel, const mpu_vpc_chn_attr* attr);

// Finishes the channel's submitted tasks, then destroys it. Uncollected results are dropped.
std::int32_t mpu_vpc_destroy_chn(std::int32_t channel);

// Sets the channel's workspaces (`count` records, 1..4), replacing earlier ones.
std::int32_t mpu_vpc_set_chn_workspace(std::int32_t channel, const mpu_vpc_workspace* workspaces,
                                       std::uint32_t count);

// Bytes of table memory for a destination (map) size of width x height (even, 2..MPU_MAX_PICTURE_SIDE).
std::int32_t mpu_vpc_get_lut_mem_size(std::uint32_t width, std::uint32_t height, std::uint32_t* size);

// Builds the table of `maps` into `lut`'s memory (synchronously). The sizes of both records must agree, be
// even and within limits, map_size must be dst_width x dst_height x 4, and lut_size at least what
// mpu_vpc_get_lut_mem_size reports. Each map must hold dst_width x dst_height values: the platform cannot see
// the length of the arrays.
std::int32_t mpu_vpc_get_remap_lut(const mpu_remap_maps* maps, mpu_remap_lut* lut);

// Submits a remap. The pictures' sizes must equal the table's and be covered by the channel's workspace.
std::int32_t mpu_vpc_lut_remap(std::int32_t channel, const mpu_warp_transform_param* param,
                               const mpu_remap_lut* lut, std::uint32_t* taskId, std::int32_t timeoutMs);

// Submits a crop-resize of one NV12 source into `regionCount` (1..MPU_VPC_MAX_CROP_REGIONS) regions.
std::int32_t mpu_vpc_crop_resize(std::int32_t channel, const mpu_vpc_pic_info* source,
                                 const mpu_vpc_crop_resize_region* regions, std::uint32_t regionCount,
                                 std::uint32_t* taskId, std::int32_t timeoutMs);

// Submits a conversion of an NV12 source into a packed RGB or BGR destination of the same size. Colour
// matrix: BT.601, limited range (Y 16..235, U and V 16..240), the usual for camera pictures.
std::int32_t mpu_vpc_convert_color(std::int32_t channel, const mpu_vpc_pic_info* source,
                                   const mpu_vpc_pic_info* destination, std::uint32_t* taskId,
                                   std::int32_t timeoutMs);

// Waits up to `timeoutMs` for task `taskId` of the channel, then returns its outcome (MPU_OK when the
// destination holds the result) and forgets the task. MPU_ERR_TIMEOUT leaves the task to be waited for again.
std::int32_t mpu_vpc_get_process_result(std::int32_t channel, std::uint32_t taskId, std::int32_t timeoutMs);

}  // extern "C"
