#pragma once

#include <exception>

#include "ara/core/error_code.h"

namespace ara::core {

// Base of every exception the platform throws; carries the error code. what() is the code's message.
class Exception : public std::exception {
  public:
    explicit Exception(ErrorCode error) noexcept : error_(error) {}
    const ErrorCode& Error() const noexcept { return error_; }
    const char* what() const noexcept override { return error_.Domain().Message(error_.Value()); }

  private:
    ErrorCode error_;
};

}  // namespace ara::core
