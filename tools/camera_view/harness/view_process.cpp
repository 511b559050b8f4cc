#include "view_process.h"

#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <thread>

#include "camera_test/files.h"

namespace camera_view::harness {

int WaitForPort(const std::string& outputFile, std::chrono::milliseconds timeout) {
    static const std::regex line(R"(open http://127\.0\.0\.1:([0-9]+)/)");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        std::smatch match;
        const std::string text = camera_test::ReadText(outputFile);
        if (std::regex_search(text, match, line)) {
            return std::stoi(match[1]);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

camera_test::SupportResult<void> EnterDemoDirectory(const std::string& directory,
                                                    const std::string& projectDirectory,
                                                    const std::string& remapBinary) {
    using Outcome = camera_test::SupportResult<void>;
    const std::string command = "/bin/sh " + projectDirectory + "/scripts/demo_maps.sh " + remapBinary + " " +
                                directory + "/out/demo/maps >/dev/null";
    if (std::system(command.c_str()) != 0) {
        return Outcome::FromError(
            camera_test::MakeError(camera_test::SupportErrc::kCannotStart, "failed: " + command));
    }
    if (::chdir(directory.c_str()) != 0) {
        return Outcome::FromError(
            camera_test::MakeError(camera_test::SupportErrc::kIo, "cannot enter " + directory));
    }
    return Outcome::FromValue();
}

}  // namespace camera_view::harness
