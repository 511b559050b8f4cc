#pragma once

#include <cstdint>

namespace vrt::cm::type {

// How a skeleton serves method calls.
enum class MethodCallProcessingMode : std::uint8_t {
    kPoll = 0,               // the application fetches calls itself
    kEvent = 1,              // calls run on the skeleton's method threads as they arrive
    kEventSingleThread = 2,  // as kEvent, one call at a time
};

}  // namespace vrt::cm::type
