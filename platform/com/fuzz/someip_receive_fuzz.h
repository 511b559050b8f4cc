#pragma once

#include <cstddef>
#include <cstdint>

namespace vrt::cm::someip::fuzz {

// One input is a small program of records, run against one consumer's receive path with the deployed
// reassembly limits (4 MiB messages, 8 at once, 1 s time-out) and a clock that the input advances. Every
// record starts with an opcode byte and a clock advance in ms:
//
//   raw datagram   op = 0b0000_0sss, advance, length (2 bytes, big-endian), the datagram's bytes
//   TP segments    op = 0b1nfr_lsss, advance, session (2), offset (3, in units of 16 bytes),
//                  segment length (2: the low 15 bits, capped at 16 KiB; the top bit keeps a length that is
//                  not a multiple of 16), count (2)
//
// sss picks one of 8 senders (source port 40000 + sss). A TP record sends `count` segments of one message,
// each of the given length, from `offset` on: l marks the last of them as the message's last segment,
// r sends them in reverse order, f sends them all at the same offset, n gives each its own session (a new
// message each: a flood). Their payload bytes are a function of the offset in the message, so that a
// reassembled message can be checked. Raw datagrams also go to the SD decoder. Short inputs thus reach
// offsets near 4 MiB, whole 4 MiB messages and the total limit.
//
// Checks: the path never holds more messages or bytes than its limits allow, per sender and in total; the
// bytes it holds stay within a small factor of the bytes fed (no amplification); a message is delivered
// whole and, while only TP records ran, with the bytes that were sent; the session tracker's sequence only
// goes back at a restart; every SD message that decodes encodes and decodes again to the same entries. A
// violated check aborts.
int FuzzSomeipReceive(const std::uint8_t* data, std::size_t size);

}  // namespace vrt::cm::someip::fuzz
