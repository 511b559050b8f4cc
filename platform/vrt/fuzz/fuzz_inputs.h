#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vrt::fuzz {

// Every input a fuzzer starts from (<dir>/corpus/<target>) or ever crashed on (<dir>/regressions/<target>),
// for the unit tests that replay them, so that a fixed fault stays fixed with every compiler and sanitizer.
inline std::vector<std::filesystem::path> Inputs(const std::filesystem::path& dir,
                                                 const std::string& target) {
    std::vector<std::filesystem::path> inputs;
    for (const char* kind : {"corpus", "regressions"}) {
        const std::filesystem::path at = dir / kind / target;
        if (std::filesystem::is_directory(at)) {
            for (const auto& entry : std::filesystem::directory_iterator(at)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        }
    }
    return inputs;
}

inline std::vector<std::uint8_t> Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace vrt::fuzz
