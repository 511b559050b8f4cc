#include "vrt/common/serialize/result.h"

#include <string>

namespace vrt::common::serialize {

void Result::AddDetail(std::string_view key, std::string_view value) {
    std::string detail;
    detail.reserve(key.size() + value.size());
    detail.append(key).append(value);
    details_.push_back(std::move(detail));
}

void Result::AddDetail(std::string_view key, std::uint64_t value) {
    AddDetail(key, std::to_string(value));
}

void Result::Reset() noexcept {
    code_ = ResultCode::kSuccess;
    message_.clear();
    elements_.clear();
    details_.clear();
}

std::ostream& operator<<(std::ostream& out, const Result& result) {
    out << "code=" << static_cast<std::uint32_t>(result.GetCode()) << " message=\"" << result.GetMessage()
        << '"';
    for (const auto& element : result.GetErrorElements()) {
        out << " element=" << element;
    }
    for (const auto& detail : result.GetDetails()) {
        out << " detail=" << detail;
    }
    return out;
}

}  // namespace vrt::common::serialize
