#pragma once

#include <vector>

#include "vcu/camera/camera_types.h"

// The camera service: one capture thread per camera delivers NV12 frames into a fixed pool of buffers per
// camera; the application waits for cameras with new frames and fetches them as CameraData records. All
// functions are thread-safe. Log messages go to the context "VCAM".
//
// Where the pictures come from is chosen per camera by the platform configuration, an INI file:
//   - the file named by the environment variable VCU_CAMERA_CONFIG (it must exist), otherwise
//   - "vcu_camera.ini" in the directory named by CM_CONFIG_FILE_PATH; without that file every camera uses
//     the defaults.
//
//   [camera]            defaults for every camera
//   [camera_<id>]       one camera, by platform id; its keys override [camera]
//   source  = pattern | nv12 | video   (default pattern: a moving test pattern showing the id and frame
//   number) path    = file for nv12 (raw NV12 frames of the camera's size, looped) or video (any file FFmpeg
//   reads,
//             scaled to the camera's size, looped)
//   fps     = 1..240                   (default 30)
//   buffers = 2..64                    (frame buffers in the camera's pool, default 4)
//   lens_fx, lens_fy, lens_cx, lens_cy, lens_k1, lens_k2, lens_p1, lens_p2, lens_k3, lens_zoom
//             ([camera_<id>] only, pattern only): the pattern as this lens shows it, so that undistortion
//             maps made by camera_remap_maps with the same numbers make it straight (fx..cy required)
//
// Environment variables override the file: VCU_CAMERA_SOURCE_<id> = pattern | nv12:<path> | video:<path>,
// and VCU_CAMERA_FPS = 1..240 for every camera. Unknown sections or keys and bad values make CameraInit fail
// with a message naming the file, section, key and value.
namespace vcu::camera {

// Validates the access table (non-empty; format "YUV420_NV12"; width and height even and from 2 to 8192;
// no id twice), reads the platform configuration, opens every camera's source, allocates its buffer pool and
// starts its capture. Each camera delivers its first frame one frame period after the start. Returns 0, or a
// CameraStatus with the reason logged; on failure nothing is left running. Fails while already running.
int CameraInit(const std::vector<CameraAccessConfig>& configs);

// Waits until at least one camera has frames that were not fetched yet, for at most timeoutMs (-1: no limit),
// and returns the ids of those cameras, the one waiting longest first. Returns an empty list on time-out,
// when the service is not running, or when CameraDeinit ends the wait.
std::vector<unsigned int> CameraWaitEvents(int timeoutMs);

// Appends the camera's frames that were not fetched yet to `frames`, oldest first, so the newest is last.
// Waits up to timeoutMs (-1: no limit) when there is none. Returns 0, or kCameraUnknownId, kCameraNotStarted,
// kCameraTimeout, kCameraStopped.
int CameraGetData(unsigned int cameraId, std::vector<CameraData>& frames, int timeoutMs);

// Stops and joins the capture threads, wakes every waiter and drops the frames not yet fetched. Frames the
// application still holds stay valid until their records are destroyed. CameraInit may be called again.
// Does nothing when the service is not running.
void CameraDeinit();

// The camera's counters; false when the service is not running or the id is unknown.
bool CameraGetStats(unsigned int cameraId, CameraStats& stats);

}  // namespace vcu::camera
