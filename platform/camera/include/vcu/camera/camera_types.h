#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "vcu/vcu_mbuf.h"

namespace vcu::camera {

// One camera of the access table handed to CameraInit, in the vehicle's field order. The stand-in uses the
// model, id, size and format; the remaining fields belong to the vehicle's camera driver and are carried
// through unchanged.
struct CameraAccessConfig {
    std::string cameraModel;
    std::int32_t cameraId{0};  // platform camera id, unique within the table
    std::int32_t groupId{0};
    std::int32_t deviceAddress{0};
    std::int32_t width{0};   // pixels, even, 2..8192
    std::int32_t height{0};  // pixels, even, 2..8192
    std::int32_t pipelineMode{0};
    std::int32_t linkIndex{0};
    std::int32_t virtualChannel{0};
    std::string imageFormat;  // only "YUV420_NV12" is supported
    std::int32_t reserved{0};
};

inline constexpr const char* kImageFormatNv12 = "YUV420_NV12";

// A CLOCK_REALTIME reading.
struct CameraTimestamp {
    std::int64_t sec{0};
    std::int64_t nsec{0};
};

// What the camera service knows about a frame besides its picture.
//
// frameSequence counts the frames a camera produced since CameraInit, from 1; frames that were dropped
// (no free buffer, or replaced before anyone fetched them) leave gaps. The test pattern shows the same
// number. timestamps[0] is taken when the capture of the frame starts, timestamps[1] when the picture is
// complete; the last entry is the frame's capture time.
struct CameraAuxiliaryInfo {
    static constexpr std::size_t kTimestampCount = 2;

    std::uint64_t frameSequence{0};
    std::uint32_t cameraId{0};
    std::array<CameraTimestamp, kTimestampCount> timestamps{};

    const CameraTimestamp& captureTime() const noexcept { return timestamps.back(); }
};

// One frame as CameraGetData delivers it. buffers[1] refers to the NV12 picture; buffers[0] and buffers[2]
// stay unbound in this service. The record owns its buffer references: copies share them, destroying the last
// record that refers to a frame returns its buffer to the camera's pool.
struct CameraData {
    static constexpr std::size_t kPictureBuffer = 1;

    explicit CameraData(const std::string& name) : buffers{VcuMbuf(name), VcuMbuf(name), VcuMbuf(name)} {}

    std::array<VcuMbuf, 3> buffers;
    CameraAuxiliaryInfo auxiliaryInfo;
};

// Per-camera counters since CameraInit.
struct CameraStats {
    std::uint64_t captured{0};         // frames queued for the application
    std::uint64_t delivered{0};        // frames handed out by CameraGetData
    std::uint64_t droppedNoBuffer{0};  // every buffer was held by the application
    std::uint64_t droppedOverrun{0};   // queued frames replaced by newer ones before anyone fetched them
    std::uint64_t sourceErrors{0};     // the source could not produce a picture
    // A video source's decoder met damaged data and patched the pictures up from their surroundings:
    std::uint64_t concealedPictures{0};  // pictures it concealed damage in
    std::uint64_t concealedErrors{0};    // the errors concealed (FFmpeg's DC, AC and MV counts added up)
};

// Status codes of the camera service calls; 0 is success.
enum CameraStatus : int {
    kCameraOk = 0,
    kCameraInvalidConfig = 1,   // the access table or the source configuration was refused
    kCameraSourceError = 2,     // a source could not be opened
    kCameraNoMemory = 3,        // a buffer pool could not be allocated
    kCameraAlreadyStarted = 4,  // CameraInit while running
    kCameraNotStarted = 5,      // no CameraInit, or after CameraDeinit
    kCameraUnknownId = 6,       // the id is not in the access table
    kCameraTimeout = 7,         // nothing arrived within the time-out
    kCameraStopped = 8,         // CameraDeinit ended the wait
};

}  // namespace vcu::camera
