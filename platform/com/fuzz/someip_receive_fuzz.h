#pragma once

#include <cstddef>
#include <cstdint>

namespace vrt::cm::someip::fuzz {

// One input is a run of datagrams, each as a 2-byte big-endian length, one byte of clock advance (ms) and
// its bytes, all arriving at one consumer's receive path (small reassembly limits) and at the SD decoder.
// Checks: the path never holds more partial messages or bytes than its limits allow, never delivers more
// than the largest message, and every SD message that decodes encodes and decodes again to the same
// entries. A violated check aborts.
int FuzzSomeipReceive(const std::uint8_t* data, std::size_t size);

}  // namespace vrt::cm::someip::fuzz
