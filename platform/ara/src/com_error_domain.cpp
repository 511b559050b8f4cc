#include "vrt/cm/type/com_error_domain.h"

namespace vrt::cm::type {

const char* ComErrorDomain::Message(CodeType errorCode) const noexcept {
    switch (static_cast<ComErrc>(errorCode)) {
        case ComErrc::kOk:
            return "ok";
        case ComErrc::kServiceNotAvailable:
            return "kServiceNotAvailable";
        case ComErrc::kMaxSamplesExceeded:
            return "kMaxSamplesExceeded";
        case ComErrc::kNetworkBindingFailure:
            return "kNetworkBindingFailure";
        case ComErrc::kGrantEnforcementError:
            return "kGrantEnforcementError";
        case ComErrc::kServiceNotOffered:
            return "kServiceNotOffered";
        case ComErrc::kCommunicationStackError:
            return "kCommunicationStackError";
        case ComErrc::kWrongMethodCallProcessingMode:
            return "kWrongMethodCallProcessingMode";
        case ComErrc::kCouldNotExecute:
            return "kCouldNotExecute";
    }
    return "";
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
