#include "someip_receive_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vrt::cm::someip::fuzz::FuzzSomeipReceive(data, size);
}
