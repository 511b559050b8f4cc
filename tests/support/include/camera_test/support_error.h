#pragma once

#include <string>

#include "ara/core/result.h"

namespace camera_test {

enum class SupportErrc {
    kCannotStart,     // a process could not be started
    kNotFound,        // a program or file is missing
    kTimeout,         // something did not happen within its limit
    kAlreadyRunning,  // another RouDi holds the machine's lock
    kEndedEarly,      // a process ended while it was expected to run
    kIo,              // a file or directory could not be made, read or written
};

// What failed, and a message that names the program, file or limit.
struct SupportError {
    SupportErrc code;
    std::string message;
};

template <typename T>
using SupportResult = ara::core::Result<T, SupportError>;

inline SupportError MakeError(SupportErrc code, std::string message) {
    return SupportError{code, std::move(message)};
}

}  // namespace camera_test
