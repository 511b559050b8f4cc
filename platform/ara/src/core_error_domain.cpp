#include "ara/core/core_error_domain.h"

namespace ara::core {

const char* CoreErrorDomain::Message(CodeType errorCode) const noexcept {
    switch (static_cast<CoreErrc>(errorCode)) {
        case CoreErrc::kInvalidArgument:
            return "Invalid argument";
        case CoreErrc::kInvalidMetaModelShortname:
            return "Invalid meta model short name";
        case CoreErrc::kInvalidMetaModelPath:
            return "Invalid meta model path";
    }
    return "Unknown error";
}

void CoreErrorDomain::ThrowAsException(const ErrorCode& errorCode) const noexcept(false) {
    throw CoreException(errorCode);
}

const ErrorDomain& GetCoreErrorDomain() noexcept {
    static const CoreErrorDomain domain;
    return domain;
}

ErrorCode MakeErrorCode(CoreErrc code, ErrorDomain::SupportDataType data) noexcept {
    return ErrorCode(static_cast<ErrorDomain::CodeType>(code), GetCoreErrorDomain(), data);
}

}  // namespace ara::core
