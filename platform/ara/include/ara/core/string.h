#pragma once

#include <string>

namespace ara::core {
namespace internal {

// The platform's string: a sequence of bytes. No encoding is assumed or checked; encoders that need one (the
// SOME/IP string form) state it on the wire.
template <typename CharT, typename Traits = std::char_traits<CharT>, typename Alloc = std::allocator<CharT>>
using BasicString = std::basic_string<CharT, Traits, Alloc>;

}  // namespace internal

using String = internal::BasicString<char>;

}  // namespace ara::core
