#pragma once

#include <string>

namespace camera_test {

// Writes a Matroska file of H.264 (libx264, one key frame, no B-frames) showing a textured picture that
// moves, with bytes in the middle of every fourth P-frame flipped, as a damaged recording has them. Test
// failures are reported through GoogleTest; call it under ASSERT_NO_FATAL_FAILURE.
void WriteDamagedH264(const std::string& path, int width, int height, int frames);

}  // namespace camera_test
