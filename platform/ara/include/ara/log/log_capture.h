#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ara/log/common.h"

namespace ara::log {

// One emitted message as a capture sees it: the arguments rendered as the console shows them.
struct CapturedLog {
    std::string contextId;
    LogLevel level;
    std::string message;
    std::string file;
    int line;
};

// Records every message emitted while it exists, in addition to the normal outputs. Meant for tests
// and tools that check what a component logged. Thread-safe. Captures do not nest: the newest one
// receives the messages until it is destroyed.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLog> Messages() const;

    // Number of messages of `contextId` whose text contains `fragment` (any level).
    std::size_t Count(std::string_view contextId, std::string_view fragment) const;
    // Same, restricted to one level.
    std::size_t Count(std::string_view contextId, LogLevel level, std::string_view fragment) const;

    void Clear();

    // Called by the logging backend.
    void Record(CapturedLog log);

  private:
    mutable std::mutex mutex_;
    std::vector<CapturedLog> messages_;
    LogCapture* previous_;
};

}  // namespace ara::log
