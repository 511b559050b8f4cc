#pragma once

#include <cstdint>

#include "ara/core/string.h"

// Time stamp and source identifier of one frame.
struct DriverHeader {
    std::int32_t sec{0};
    std::int32_t nsec{0};
    ara::core::String frameId;

    static bool IsPlane() { return false; }

    // Hands every serialized field, in wire order, to the visitor; nested records go over whole.
    template <typename Visitor>
    void enumerate(Visitor& visitor) {
        visitor(sec);
        visitor(nsec);
        visitor(frameId);
    }
    template <typename Visitor>
    void enumerate(Visitor& visitor) const {
        visitor(sec);
        visitor(nsec);
        visitor(frameId);
    }

    friend bool operator==(const DriverHeader& lhs, const DriverHeader& rhs) {
        return lhs.sec == rhs.sec && lhs.nsec == rhs.nsec && lhs.frameId == rhs.frameId;
    }
    friend bool operator!=(const DriverHeader& lhs, const DriverHeader& rhs) { return !(lhs == rhs); }
};
