#include "vrt/cm/type/com_error_domain.h"

#include "ara/core/internal/enum_name.h"

namespace vrt::cm::type {

const char* ComErrorDomain::Message(CodeType errorCode) const noexcept {
    static constexpr ara::core::internal::EnumName<ComErrc> kMessages[] = {
        {ComErrc::kOk, "ok"},
        {ComErrc::kServiceNotAvailable, "kServiceNotAvailable"},
        {ComErrc::kMaxSamplesExceeded, "kMaxSamplesExceeded"},
        {ComErrc::kNetworkBindingFailure, "kNetworkBindingFailure"},
        {ComErrc::kGrantEnforcementError, "kGrantEnforcementError"},
        {ComErrc::kServiceNotOffered, "kServiceNotOffered"},
        {ComErrc::kCommunicationStackError, "kCommunicationStackError"},
        {ComErrc::kWrongMethodCallProcessingMode, "kWrongMethodCallProcessingMode"},
        {ComErrc::kCouldNotExecute, "kCouldNotExecute"}};
    return ara::core::internal::NameOf(kMessages, static_cast<ComErrc>(errorCode), "");
}

void ComErrorDomain::ThrowAsException(const ara::core::ErrorCode& errorCode) const noexcept(false) {
    throw ComException(errorCode);
}

const ara::core::ErrorDomain& GetComErrorDomain() noexcept {
    static const ComErrorDomain domain;
    return domain;
}

ara::core::ErrorCode MakeErrorCode(ComErrc code, ara::core::ErrorDomain::SupportDataType data) noexcept {
    return ara::core::ErrorCode(static_cast<ara::core::ErrorDomain::CodeType>(code), GetComErrorDomain(),
                                data);
}

}  // namespace vrt::cm::type
