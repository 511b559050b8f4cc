#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace vrt::cm::type {

// Outcome of the end-to-end protection check of a received sample.
enum class E2EErrorCode : std::uint8_t {
    kOk = 0,
    kRepeated = 1,
    kWrongSequence = 2,
    kError = 3,
    kNotAvailable = 4,
    kNoNewData = 5,
};

// Receives E2E error reports: the code, the data ids concerned and the counter of the failing sample.
// Called on a middleware thread.
using E2EErrorHandler = std::function<void(E2EErrorCode, std::vector<std::uint32_t>, std::uint32_t)>;

}  // namespace vrt::cm::type
