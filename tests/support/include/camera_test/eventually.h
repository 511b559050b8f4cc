#pragma once

// Waiting for a condition in a test: poll it until it holds or a deadline passes, never a fixed sleep.

#include <chrono>
#include <thread>

namespace camera_test {

// Whether `condition()` came to hold within `timeout`, asked every `interval` (a few milliseconds unless a
// costly condition asks for less often).
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                std::chrono::milliseconds interval = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

}  // namespace camera_test
