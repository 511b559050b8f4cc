#pragma once

// Waiting for a condition in a test: poll it until it holds or a deadline passes, never a fixed sleep.

#include <chrono>
#include <thread>

namespace camera_test {

// Whether `condition()` came to hold within `timeout`, asked every few milliseconds.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace camera_test
