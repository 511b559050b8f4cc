#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ara/core/result.h"

namespace vrt::common::serialize {

enum class ResultCode : std::uint32_t {
    kSuccess = 0,
    kSerializeFailed =
        1,  // copy failure, missing payload, unknown serialize type, inconsistent configuration
    kUnsupportedType = 2,  // the data type cannot be carried by the selected encoding
    kConfigMissing = 3,    // configuration missing or incomplete
};

// Outcome of a serialization, deserialization or configuration check. A walk that meets several failures
// keeps going: the code and message are those of the latest failure, the error elements (kinds of element
// that failed) and details accumulate in the order the failures happen. A successful result holds no heap
// memory, so the success path never allocates.
class Result {
  public:
    // A failure with its code and message.
    static Result Failure(ResultCode code, std::string_view message) {
        Result result;
        result.code_ = code;
        result.message_.assign(message);
        return result;
    }

    ResultCode GetCode() const noexcept { return code_; }
    bool IsSuccess() const noexcept { return code_ == ResultCode::kSuccess; }
    explicit operator bool() const noexcept { return IsSuccess(); }
    const std::string& GetMessage() const noexcept { return message_; }
    const std::vector<std::string>& GetErrorElements() const noexcept { return elements_; }
    const std::vector<std::string>& GetDetails() const noexcept { return details_; }

    void SetCode(ResultCode code) noexcept { code_ = code; }
    void SetMessage(std::string_view message) { message_.assign(message); }
    void AddErrorElement(std::string_view element) { elements_.emplace_back(element); }
    void AddDetail(std::string_view detail) { details_.emplace_back(detail); }
    // Detail "<key><value>", e.g. AddDetail("pdu=", name).
    void AddDetail(std::string_view key, std::string_view value);
    void AddDetail(std::string_view key, std::uint64_t value);

    // A failed element: sets the code and appends the element.
    void Fail(ResultCode code, std::string_view element) {
        code_ = code;
        AddErrorElement(element);
    }
    void Reset() noexcept;

  private:
    ResultCode code_{ResultCode::kSuccess};
    std::string message_;
    std::vector<std::string> elements_;
    std::vector<std::string> details_;
};

std::ostream& operator<<(std::ostream& out, const Result& result);

// A byte count, or the Result that explains why there is none.
using SizeResult = ara::core::Result<std::size_t, Result>;

}  // namespace vrt::common::serialize
