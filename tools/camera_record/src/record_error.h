#pragma once

#include <string>

#include "ara/core/result.h"

namespace camera_record {

enum class RecordErrc {
    kFormat,   // a frame or a size that cannot be recorded as it is
    kLibrary,  // libavcodec/libavformat lacks a codec or muxer, or cannot set one up
    kOpen,     // an output file cannot be created
    kWrite,    // an output file cannot be written
    kNoSpace,  // an output file cannot be written: the disk is full
};

// What failed, and a message that names the file or the stream.
struct RecordError {
    RecordErrc code;
    std::string message;
};

template <typename T>
using RecordResult = ara::core::Result<T, RecordError>;

}  // namespace camera_record
