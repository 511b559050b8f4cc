#pragma once

#include <cstddef>
#include <string_view>

#include "ara/log/common.h"
#include "ara/log/log_stream.h"

namespace ara::log::internal {

// The file name of a path ("camera_driving.cpp" of "modules/.../camera_driving.cpp"); "?" for none.
std::string_view BaseName(const char* path) noexcept;

// Renders the arguments of a message as the console shows them; returns the length written (at most
// `capacity`, no terminating zero).
std::size_t RenderMessage(const LogArgument* arguments, std::size_t count, char* out,
                          std::size_t capacity) noexcept;

// Renders one console and file line, with its newline:
//     2024-05-01 12:00:00.123456 APP CTX [info] message (file.cpp:42 function)
// Returns the length written (at most `capacity - 1`: the last byte is room for snprintf's terminating zero).
std::size_t RenderLine(const char* applicationId, const char* contextId, LogLevel level,
                       std::string_view message, const SourceLocation& location, char* out,
                       std::size_t capacity) noexcept;

}  // namespace ara::log::internal
