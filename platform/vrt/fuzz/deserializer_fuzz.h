#pragma once

#include <cstddef>
#include <cstdint>

namespace vrt::common::fuzz {

// One input: byte 0 picks the record type, byte 1 the configuration, the rest is the payload. Each call
// decodes the payload and, when that succeeds, checks that encoding the record and decoding it again give
// the same record (for shared memory, the very same bytes). A violated check aborts.
int FuzzShmDeserializer(const std::uint8_t* data, std::size_t size);
int FuzzSomeipDeserializer(const std::uint8_t* data, std::size_t size);

}  // namespace vrt::common::fuzz
