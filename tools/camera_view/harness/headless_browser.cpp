#include "headless_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <boost/beast/core/detail/base64.hpp>

#include "camera_test/child_process.h"

namespace camera_view::harness {

namespace {

constexpr auto kCallTimeout = std::chrono::seconds(30);
// Both ends of the pipes Chromium expects as its descriptors 3 (commands in) and 4 (replies out).
constexpr int kCommandFd = 3;
constexpr int kReplyFd = 4;

}  // namespace

HeadlessBrowser::HeadlessBrowser(const std::string& profileDirectory, const std::string& logFile,
                                 const std::string& binary) {
    int commands[2] = {-1, -1};
    int replies[2] = {-1, -1};
    if (::pipe2(commands, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const vcu::os::UniqueFd commandsIn(commands[0]);
    toBrowser_.reset(commands[1]);
    if (::pipe2(replies, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const vcu::os::UniqueFd repliesOut(replies[1]);
    fromBrowser_.reset(replies[0]);
    // Settings that keep a headless Chromium off every network but the page's own, as root, in a container.
    const std::vector<std::string> argv = {binary,
                                           "--headless",
                                           "--no-sandbox",
                                           "--disable-gpu",
                                           "--disable-quic",
                                           "--no-first-run",
                                           "--disable-background-networking",
                                           "--disable-component-update",
                                           "--disable-sync",
                                           "--disable-dev-shm-usage",
                                           "--mute-audio",
                                           "--window-size=1600,1000",
                                           "--user-data-dir=" + profileDirectory,
                                           "--remote-debugging-pipe",
                                           "about:blank"};
    camera_test::SpawnOptions options;
    options.outputFile = logFile;
    options.descriptors = {{kCommandFd, commandsIn.get()}, {kReplyFd, repliesOut.get()}};
    auto spawned = camera_test::ChildProcess::Spawn(argv, options);
    if (!spawned) {
        error_ = spawned.Error().message;
        return;
    }
    process_ = std::move(spawned).Value();
}

HeadlessBrowser::~HeadlessBrowser() {
    process_.Stop(std::chrono::seconds(2));
}

bool HeadlessBrowser::ReadMessage(nlohmann::json* message, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        const auto end = pending_.find('\0');
        if (end != std::string::npos) {
            *message = nlohmann::json::parse(pending_.substr(0, end), nullptr, false);
            pending_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error_ = "no answer from the browser in time";
            return false;
        }
        pollfd ready{fromBrowser_.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[65536];
        const ssize_t got = ::read(fromBrowser_.get(), buffer, sizeof(buffer));
        if (got <= 0) {
            error_ = "the browser closed its debugging pipe";
            return false;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

nlohmann::json HeadlessBrowser::Call(const std::string& method, const nlohmann::json& params, bool inPage) {
    if (!process_.Started()) {
        return nullptr;
    }
    const int id = nextId_++;
    nlohmann::json command = {{"id", id}, {"method", method}, {"params", params}};
    if (inPage) {
        command["sessionId"] = sessionId_;
    }
    std::string text = command.dump();
    text.push_back('\0');
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(toBrowser_.get(), text.data() + written, text.size() - written);
        if (n <= 0) {
            error_ = "cannot write to the browser";
            return nullptr;
        }
        written += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + kCallTimeout;
    nlohmann::json message;
    while (ReadMessage(&message, deadline)) {
        if (message.is_object() && message.value("id", -1) == id) {
            if (message.contains("error")) {
                error_ = method + ": " + message["error"].dump();
                return nullptr;
            }
            return message["result"];
        }
    }
    return nullptr;
}

bool HeadlessBrowser::Open(const std::string& url, int width, int height) {
    const nlohmann::json target = Call("Target.createTarget", {{"url", "about:blank"}}, false);
    if (!target.is_object() || !target.contains("targetId")) {
        return false;
    }
    const nlohmann::json attached =
        Call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}}, false);
    if (!attached.is_object() || !attached.contains("sessionId")) {
        return false;
    }
    sessionId_ = attached["sessionId"].get<std::string>();
    const nlohmann::json metrics =
        Call("Emulation.setDeviceMetricsOverride",
             {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}, true);
    return metrics.is_object() && Call("Page.navigate", {{"url", url}}, true).is_object();
}

nlohmann::json HeadlessBrowser::Evaluate(const std::string& expression) {
    const nlohmann::json result =
        Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, true);
    if (!result.is_object() || result.contains("exceptionDetails") || !result.contains("result")) {
        return nullptr;
    }
    return result["result"].value("value", nlohmann::json());
}

bool HeadlessBrowser::Screenshot(const std::string& path) {
    const nlohmann::json shot = Call("Page.captureScreenshot", {{"format", "png"}}, true);
    if (!shot.is_object() || !shot.contains("data")) {
        return false;
    }
    const std::string encoded = shot["data"].get<std::string>();
    std::string png(boost::beast::detail::base64::decoded_size(encoded.size()), '\0');
    const auto sizes = boost::beast::detail::base64::decode(png.data(), encoded.data(), encoded.size());
    png.resize(sizes.first);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << png;
    file.close();
    return static_cast<bool>(file);
}

}  // namespace camera_view::harness
