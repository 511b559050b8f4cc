#include "ara/core/instance_specifier.h"

#include "ara/core/core_error_domain.h"

namespace ara::core {

namespace {

bool IsPathCharacter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '/';
}

Result<void> Validate(std::string_view path) {
    if (path.find('/') == std::string_view::npos) {
        return Result<void>(MakeErrorCode(CoreErrc::kInvalidMetaModelPath));
    }
    for (char c : path) {
        if (!IsPathCharacter(c)) {
            return Result<void>(MakeErrorCode(CoreErrc::kInvalidMetaModelShortname));
        }
    }
    return {};
}

}  // namespace

InstanceSpecifier::InstanceSpecifier(std::string_view metaModelPath) : path_(metaModelPath) {
    Validate(metaModelPath).ValueOrThrow();
}

Result<InstanceSpecifier> InstanceSpecifier::Create(std::string_view metaModelPath) {
    Result<void> valid = Validate(metaModelPath);
    if (!valid) {
        return Result<InstanceSpecifier>(valid.Error());
    }
    return InstanceSpecifier(Validated{}, metaModelPath);
}

}  // namespace ara::core
