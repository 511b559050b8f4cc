#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "deserializer_fuzz.h"

namespace vrt::common::fuzz {
namespace {

namespace fs = std::filesystem;

// Every input the fuzzers start from or ever crashed on, so that a fixed fault stays fixed with every
// compiler and sanitizer.
std::vector<fs::path> Inputs(const std::string& target) {
    std::vector<fs::path> inputs;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(VRT_FUZZ_INPUT_DIR) / kind / target;
        if (fs::is_directory(dir)) {
            for (const auto& entry : fs::directory_iterator(dir)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        }
    }
    return inputs;
}

std::vector<std::uint8_t> Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
