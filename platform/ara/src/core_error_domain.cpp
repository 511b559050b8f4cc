#include "ara/core/core_error_domain.h"

#include "ara/core/internal/enum_name.h"

namespace ara::core {

const char* CoreErrorDomain::Message(CodeType errorCode) const noexcept {
    static constexpr internal::EnumName<CoreErrc> kMessages[] = {
        {CoreErrc::kInvalidArgument, "Invalid argument"},
        {CoreErrc::kInvalidMetaModelShortname, "Invalid meta model short name"},
        {CoreErrc::kInvalidMetaModelPath, "Invalid meta model path"}};
    return internal::NameOf(kMessages, static_cast<CoreErrc>(errorCode), "Unknown error");
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
