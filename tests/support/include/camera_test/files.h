#pragma once

// Whole files: what a test or a child process wrote, read back in one piece.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "camera_test/support_error.h"

namespace camera_test {

SupportResult<std::string> ReadFile(const std::string& path);
// The content, or an empty string when the file cannot be read: for messages about a process's output.
std::string ReadText(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
// Creates or truncates the file.
SupportResult<void> WriteFile(const std::string& path, const std::string& content);

// The last `maxBytes` of a text file ("..." in front when cut), without trailing line ends.
std::string FileTail(const std::string& path, std::size_t maxBytes);

// How often `what` occurs in `text`, overlapping occurrences included.
std::size_t CountOccurrences(const std::string& text, const std::string& what);

// Waits until the file (a process's output) holds `text`; false after the timeout.
bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout);

// The full path of `name` found in PATH (or `name` itself when it holds a '/' and is executable).
SupportResult<std::string> FindExecutable(const std::string& name);

}  // namespace camera_test
