#pragma once

#include <exception>
#include <ostream>
#include <string_view>
#include <type_traits>

#include "ara/core/error_domain.h"

namespace ara::core {

// A code value together with its domain and optional vendor-specific support data.
class ErrorCode {
  public:
    // From a domain's enumeration, through the MakeErrorCode overload found by argument-dependent lookup.
    template <typename EnumT, typename = std::enable_if_t<std::is_enum<EnumT>::value>>
    ErrorCode(EnumT value, ErrorDomain::SupportDataType data = 0) noexcept  // NOLINT: implicit by design
        : ErrorCode(MakeErrorCode(value, data)) {}

    ErrorCode(ErrorDomain::CodeType value, const ErrorDomain& domain,
              ErrorDomain::SupportDataType data = 0) noexcept
        : value_(value), data_(data), domain_(&domain) {}

    ErrorDomain::CodeType Value() const noexcept { return value_; }
    ErrorDomain::SupportDataType SupportData() const noexcept { return data_; }
    const ErrorDomain& Domain() const noexcept { return *domain_; }
    std::string_view Message() const noexcept { return domain_->Message(value_); }
    [[noreturn]] void ThrowAsException() const noexcept(false) {
        domain_->ThrowAsException(*this);
        std::terminate();  // a domain's ThrowAsException never returns
    }

    // Support data is not compared.
    friend bool operator==(const ErrorCode& lhs, const ErrorCode& rhs) noexcept {
        return lhs.value_ == rhs.value_ && *lhs.domain_ == *rhs.domain_;
    }
    friend bool operator!=(const ErrorCode& lhs, const ErrorCode& rhs) noexcept { return !(lhs == rhs); }

    friend std::ostream& operator<<(std::ostream& out, const ErrorCode& code) {
        return out << code.Domain().Name() << ":" << code.Value() << " (" << code.Message() << ")";
    }

  private:
    ErrorDomain::CodeType value_;
    ErrorDomain::SupportDataType data_;
    const ErrorDomain* domain_;
};

}  // namespace ara::core
