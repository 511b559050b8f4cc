#pragma once

// Starting camera_view for the page test and the benchmark: where it listens, read from its first line.

#include <chrono>
#include <string>

#include "camera_test/support_error.h"

namespace camera_view::harness {

// The port of the "open http://127.0.0.1:<port>/" line camera_view writes into `outputFile`; 0 when that
// line has not come within `timeout`.
int WaitForPort(const std::string& outputFile, std::chrono::milliseconds timeout);

// Makes the working directory `directory`, with the demo's undistortion maps where config/ names them
// (scripts/demo_maps.sh run with `remapBinary`), so that the application runs with config/ as the demo does.
camera_test::SupportResult<void> EnterDemoDirectory(const std::string& directory,
                                                    const std::string& projectDirectory,
                                                    const std::string& remapBinary);

}  // namespace camera_view::harness
