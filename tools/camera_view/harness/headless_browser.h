#pragma once

// Debian's Chromium, headless, driven over the DevTools protocol on its remote-debugging pipe (file
// descriptors 3 and 4 of the child, NUL-terminated JSON messages): opens a page, evaluates expressions in it
// and takes screenshots. For camera_view's page tests and screenshots. Not thread-safe.

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "camera_test/child_process.h"
#include "vcu/os/unique_fd.h"

namespace camera_view::harness {

class HeadlessBrowser {
  public:
    static constexpr const char* kDefaultBinary = "/usr/bin/chromium";

    // Starts the browser with an empty profile in `profileDirectory` (created by the caller) and its output
    // in `logFile`. Check Error() afterwards.
    HeadlessBrowser(const std::string& profileDirectory, const std::string& logFile,
                    const std::string& binary = kDefaultBinary);
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    const std::string& Error() const noexcept { return error_; }

    // Opens `url` in a new tab of `width` x `height` CSS pixels and attaches to it.
    bool Open(const std::string& url, int width = 1600, int height = 1000);
    // The value of a JavaScript expression in the page (JSON.stringify it for objects); null on failure.
    nlohmann::json Evaluate(const std::string& expression);
    // Writes a PNG of the page as shown.
    bool Screenshot(const std::string& path);

  private:
    nlohmann::json Call(const std::string& method, const nlohmann::json& params, bool inPage);
    bool ReadMessage(nlohmann::json* message, std::chrono::steady_clock::time_point deadline);

    // Destroyed in reverse order: the browser is stopped before its pipes close.
    vcu::os::UniqueFd toBrowser_;
    vcu::os::UniqueFd fromBrowser_;
    camera_test::ChildProcess process_;
    std::string pending_;
    std::string sessionId_;
    int nextId_{1};
    std::string error_;
};

}  // namespace camera_view::harness
