#include "view_process.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace camera_view::harness {

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int WaitForPort(const std::string& outputFile, std::chrono::milliseconds timeout) {
    static const std::regex line(R"(open http://127\.0\.0\.1:([0-9]+)/)");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        std::smatch match;
        const std::string text = ReadText(outputFile);
        if (std::regex_search(text, match, line)) {
            return std::stoi(match[1]);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool EnterDemoDirectory(const std::string& directory, const std::string& projectDirectory,
                        const std::string& remapBinary, std::string* error) {
    const std::string command = "/bin/sh " + projectDirectory + "/scripts/demo_maps.sh " + remapBinary + " " +
                                directory + "/out/demo/maps >/dev/null";
    if (std::system(command.c_str()) != 0) {
        *error = "failed: " + command;
        return false;
    }
    if (::chdir(directory.c_str()) != 0) {
        *error = "cannot enter " + directory;
        return false;
    }
    return true;
}

}  // namespace camera_view::harness
