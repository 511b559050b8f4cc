#include <gtest/gtest.h>

#include <string>

#include "deserializer_fuzz.h"
#include "fuzz_inputs.h"

namespace vrt::common::fuzz {
namespace {

std::vector<std::filesystem::path> Inputs(const std::string& target) {
    return vrt::fuzz::Inputs(VRT_FUZZ_INPUT_DIR, target);
}

// Replays every stored input of `target` through its fuzz entry point, which returns 0 unless it finds a
// fault.
void Replay(const std::string& target, int (*entry)(const std::uint8_t*, std::size_t)) {
    const auto inputs = Inputs(target);
    EXPECT_FALSE(inputs.empty());
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.string());
        const auto bytes = vrt::fuzz::Read(path);
        EXPECT_EQ(entry(bytes.data(), bytes.size()), 0);
    }
}

TEST(FuzzRegressionsTest, ShmDeserializerInputs) {
    Replay("shm_deserializer", FuzzShmDeserializer);
}

TEST(FuzzRegressionsTest, SomeipDeserializerInputs) {
    Replay("someip_deserializer", FuzzSomeipDeserializer);
}

}  // namespace
}  // namespace vrt::common::fuzz
