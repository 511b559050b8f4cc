#include <gtest/gtest.h>

#include <string>

#include "deserializer_fuzz.h"
#include "fuzz_inputs.h"

namespace vrt::common::fuzz {
namespace {

std::vector<std::filesystem::path> Inputs(const std::string& target) {
    return vrt::fuzz::Inputs(VRT_FUZZ_INPUT_DIR, target);
}

using vrt::fuzz::Read;

TEST(FuzzRegressions, ShmDeserializerInputs) {
    const auto inputs = Inputs("shm_deserializer");
    EXPECT_FALSE(inputs.empty());
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.string());
        const auto bytes = Read(path);
        EXPECT_EQ(FuzzShmDeserializer(bytes.data(), bytes.size()), 0);
    }
}

TEST(FuzzRegressions, SomeipDeserializerInputs) {
    const auto inputs = Inputs("someip_deserializer");
    EXPECT_FALSE(inputs.empty());
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.string());
        const auto bytes = Read(path);
        EXPECT_EQ(FuzzSomeipDeserializer(bytes.data(), bytes.size()), 0);
    }
}

}  // namespace
}  // namespace vrt::common::fuzz
