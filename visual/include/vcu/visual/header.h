#pragma once

#include <cstdint>

#include "ara/core/string.h"

namespace vcu::visual {

// A wall-clock time stamp.
struct Times {
    std::uint32_t sec{0};
    std::uint32_t nsec{0};

    // Seconds of the time of day and microseconds × 1000, both cut to 32 bits.
    static Times now();

    friend bool operator==(const Times& lhs, const Times& rhs) {
        return lhs.sec == rhs.sec && lhs.nsec == rhs.nsec;
    }
    friend bool operator!=(const Times& lhs, const Times& rhs) { return !(lhs == rhs); }
};

// Header of every visualization record. Construction takes the next number of a process-wide counter
// (the first header of the process has seq 1) and stamps the wall clock; it is safe from any thread.
struct Header {
    std::uint32_t seq{0};
    Times stamp;
    ara::core::String frameId;

    Header();
    Header(const Header&) = default;
    Header& operator=(const Header&) = default;
    Header(Header&&) = default;
    Header& operator=(Header&&) = default;
    ~Header() = default;
};

}  // namespace vcu::visual
