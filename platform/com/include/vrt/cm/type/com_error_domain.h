#pragma once

#include "ara/core/error_code.h"
#include "ara/core/exception.h"

namespace vrt::cm::type {

enum class ComErrc : ara::core::ErrorDomain::CodeType {
    kOk = 0,
    kServiceNotAvailable = 1,
    kMaxSamplesExceeded = 2,
    kNetworkBindingFailure = 3,
    kGrantEnforcementError = 4,
    kServiceNotOffered = 11,
    kCommunicationStackError = 14,
    kWrongMethodCallProcessingMode = 17,
    kCouldNotExecute = 19,
};

// Thrown by the communication middleware.
class ComException : public ara::core::Exception {
  public:
    explicit ComException(ara::core::ErrorCode error) noexcept : Exception(error) {}
};

// The "Com" domain, id 0x8000000000001267. Codes outside ComErrc have an empty message.
class ComErrorDomain final : public ara::core::ErrorDomain {
  public:
    static constexpr IdType kId = 0x8000000000001267ULL;
    ComErrorDomain() noexcept : ErrorDomain(kId) {}
    const char* Name() const noexcept override { return "Com"; }
    const char* Message(CodeType errorCode) const noexcept override;
    [[noreturn]] void ThrowAsException(const ara::core::ErrorCode& errorCode) const noexcept(false) override;
};

const ara::core::ErrorDomain& GetComErrorDomain() noexcept;
ara::core::ErrorCode MakeErrorCode(ComErrc code, ara::core::ErrorDomain::SupportDataType data = 0) noexcept;

}  // namespace vrt::cm::type
