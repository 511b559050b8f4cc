#pragma once

// Statuses, pixel formats and limits shared by every part of the media processing API (mpu_*).
//
// Every mpu_* call returns a signed 32-bit status: MPU_OK (0) on success, one of the MPU_ERR_* codes
// otherwise. A call that fails changes nothing it was given: records are not written, picture memory is not
// touched.

#include <cstdint>

enum mpu_status : std::int32_t {
    MPU_OK = 0,
    MPU_ERR_NULL_PTR = 0x1001,         // a required pointer argument is null
    MPU_ERR_ILLEGAL_PARAM = 0x1002,    // a value is out of range or inconsistent with another
    MPU_ERR_NOT_INITIALIZED = 0x1003,  // mpu_sys_init has not been called (or every call was exited)
    MPU_ERR_INVALID_CHANNEL = 0x1004,  // no live channel with that id
    MPU_ERR_CHANNEL_EXISTS = 0x1005,   // the channel id is taken
    MPU_ERR_NO_MEMORY = 0x1006,        // memory or a system resource could not be had
    MPU_ERR_ILLEGAL_ADDRESS = 0x1007,  // an address that mpu_dma_malloc did not hand out (or freed)
    MPU_ERR_BAD_PICTURE = 0x1008,      // format, size, stride, buffer size or address of a picture
    MPU_ERR_BAD_WINDOW = 0x1009,       // crop window empty or not inside the source picture
    MPU_ERR_TIMEOUT = 0x100A,          // nothing happened within the time-out
    MPU_ERR_QUEUE_FULL = 0x100B,       // every task slot holds a result nobody collected
    MPU_ERR_UNKNOWN_TASK = 0x100C,     // no submitted, uncollected task with that id
    MPU_ERR_NOT_SUPPORTED = 0x100D,    // a valid value this platform does not implement
    MPU_ERR_BAD_TABLE = 0x100E,        // remap table memory missing, too small, or not built for these sizes
    MPU_ERR_NO_WORKSPACE = 0x100F,     // remap on a channel without a workspace covering the pictures
    MPU_ERR_BUF_EMPTY = 0x1010,        // no encoded stream is waiting
    MPU_ERR_NOT_PERMITTED = 0x1011,    // the call does not fit the channel's state
    MPU_ERR_CODEC = 0x1012,            // the encoder library refused a frame or its settings
    MPU_ERR_SYSTEM = 0x1013,           // an operating-system call failed (logged with errno)
};

enum mpu_pixel_format : std::uint32_t {
    // NV12: the luma plane (width stride x height stride bytes), then one plane of interleaved U, V bytes at
    // half resolution in both directions, same width stride. Width and height are even.
    MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420 = 1,
    MPU_PIXEL_FORMAT_RGB_888 = 12,  // packed, 3 bytes per pixel in the order R, G, B
    MPU_PIXEL_FORMAT_BGR_888 = 13,  // packed, 3 bytes per pixel in the order B, G, R
};

// Largest picture width and height any mpu_* call accepts.
inline constexpr std::uint32_t MPU_MAX_PICTURE_SIDE = 8192;

// Time-out value of the blocking calls that waits without limit; 0 does not wait at all, a positive value
// waits that many milliseconds.
inline constexpr std::int32_t MPU_WAIT_FOREVER = -1;
