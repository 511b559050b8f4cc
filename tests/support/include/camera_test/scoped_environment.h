#pragma once

#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>

namespace camera_test {

// Sets an environment variable (or removes it, for no value) and puts the old value back when destroyed.
// Not thread-safe, like setenv.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = ::getenv(name_.c_str())) {
            previous_ = old;
        }
        Set(value);
    }
    ~ScopedEnvironment() { Set(previous_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    void Set(const std::optional<std::string>& value) const {
        value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
    }

    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace camera_test
