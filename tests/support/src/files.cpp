#include "camera_test/files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace camera_test {

SupportResult<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return SupportResult<std::string>::FromError(
            MakeError(SupportErrc::kIo, path + ": cannot be read: " + std::strerror(errno)));
    }
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ReadText(const std::string& path) {
    return ReadFile(path).ValueOr(std::string());
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::istringstream text(ReadText(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

SupportResult<void> WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(content.data(), static_cast<std::streamsize>(content.size())) || !out.flush()) {
        return SupportResult<void>::FromError(
            MakeError(SupportErrc::kIo, path + ": cannot be written: " + std::strerror(errno)));
    }
    return SupportResult<void>::FromValue();
}

std::string FileTail(const std::string& path, std::size_t maxBytes) {
    std::string content = ReadText(path);
    if (content.size() > maxBytes) {
        content = "..." + content.substr(content.size() - maxBytes);
    }
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
        content.pop_back();
    }
    return content;
}

std::size_t CountOccurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadText(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

SupportResult<std::string> FindExecutable(const std::string& name) {
    const auto notFound = [&name] {
        return SupportResult<std::string>::FromError(
            MakeError(SupportErrc::kNotFound, name + ": no such executable program"));
    };
    if (name.empty()) {
        return notFound();
    }
    if (name.find('/') != std::string::npos) {
        return ::access(name.c_str(), X_OK) == 0 ? SupportResult<std::string>(name) : notFound();
    }
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return notFound();
}

}  // namespace camera_test
