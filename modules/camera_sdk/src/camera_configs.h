#pragma once

#include <vector>

#include "vcu/camera/camera_types.h"

// The access table of the four cameras, platform ids 8 to 11, in camera index order. Built before main runs
// and kept for the life of the process.
extern std::vector<vcu::camera::CameraAccessConfig> camera_configs;
