#pragma once

// Starting camera_view for the page test and the benchmark: where it listens, read from its first line.

#include <chrono>
#include <string>

namespace camera_view::harness {

// The port of the "open http://127.0.0.1:<port>/" line camera_view writes into `outputFile`; 0 when that
// line has not come within `timeout`.
int WaitForPort(const std::string& outputFile, std::chrono::milliseconds timeout);

std::string ReadText(const std::string& path);

// Makes the working directory `directory`, with the demo's undistortion maps where config/ names them
// (scripts/demo_maps.sh run with `remapBinary`), so that the application runs with config/ as the demo does.
// False with `error` set when that fails.
bool EnterDemoDirectory(const std::string& directory, const std::string& projectDirectory,
                        const std::string& remapBinary, std::string* error);

}  // namespace camera_view::harness
