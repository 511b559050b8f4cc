#pragma once

#include "ara/core/error_code.h"
#include "ara/core/exception.h"

namespace ara::core {

enum class CoreErrc : ErrorDomain::CodeType {
    kInvalidArgument = 22,
    kInvalidMetaModelShortname = 137,
    kInvalidMetaModelPath = 138,
};

class CoreException : public Exception {
  public:
    explicit CoreException(ErrorCode error) noexcept : Exception(error) {}
};

// The "Core" domain, id 0x8000000000000014.
class CoreErrorDomain final : public ErrorDomain {
  public:
    static constexpr IdType kId = 0x8000000000000014ULL;
    CoreErrorDomain() noexcept : ErrorDomain(kId) {}
    const char* Name() const noexcept override { return "Core"; }
    const char* Message(CodeType errorCode) const noexcept override;
    [[noreturn]] void ThrowAsException(const ErrorCode& errorCode) const noexcept(false) override;
};

const ErrorDomain& GetCoreErrorDomain() noexcept;
ErrorCode MakeErrorCode(CoreErrc code, ErrorDomain::SupportDataType data = 0) noexcept;

}  // namespace ara::core
