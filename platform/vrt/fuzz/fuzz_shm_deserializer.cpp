#include "deserializer_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vrt::common::fuzz::FuzzShmDeserializer(data, size);
}
