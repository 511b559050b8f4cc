#pragma once

#include <string>

#include "ara/core/result.h"

namespace camera_bench {

enum class BenchErrc {
    kIo,        // a file or directory could not be made, read or written
    kProcess,   // a program (ffmpeg) could not be started, or failed
    kPlatform,  // the camera service, the preprocessor or the encoder failed
    kFormat,    // the measuring process's figures cannot be read
};

// What failed, and the message the benchmark prints in place of the figures.
struct BenchError {
    BenchErrc code;
    std::string message;
};

template <typename T>
using BenchResult = ara::core::Result<T, BenchError>;

}  // namespace camera_bench
