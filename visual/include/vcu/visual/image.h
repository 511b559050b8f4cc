#pragma once

#include <cstdint>
#include <vector>

#include "vcu/visual/header.h"

namespace vcu::visual {

// An image's bytes (for the system: one encoded frame) with its header.
struct Image {
    Header header;
    std::vector<std::uint8_t> data;
};

}  // namespace vcu::visual
