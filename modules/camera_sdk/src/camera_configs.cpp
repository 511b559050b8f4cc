#include "camera_configs.h"

std::vector<vcu::camera::CameraAccessConfig> camera_configs = {
    {"KRV_CAM_3MP_NV12", 8, 200, 20, 1920, 1080, 5, 0, 0, "YUV420_NV12", 0},
    {"KRV_CAM_3MP_NV12", 9, 200, 20, 1920, 1080, 3, 1, 0, "YUV420_NV12", 0},
    {"KRV_CAM_3MP_NV12", 10, 200, 20, 1920, 1080, 5, 2, 0, "YUV420_NV12", 0},
    {"KRV_CAM_3MP_NV12", 11, 200, 20, 1920, 1080, 3, 3, 0, "YUV420_NV12", 0},
};
