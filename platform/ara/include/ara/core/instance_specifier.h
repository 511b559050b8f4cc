#pragma once

#include <string>
#include <string_view>

#include "ara/core/result.h"

namespace ara::core {

// The path of a port in the application's meta model, such as "CameraDriving/CamDrv2Visualization".
// Valid paths hold at least one "/" and only letters, digits, "/" and "_".
class InstanceSpecifier {
  public:
    // Throws CoreException: kInvalidMetaModelPath (138) without a "/", kInvalidMetaModelShortname (137)
    // for any other character.
    explicit InstanceSpecifier(std::string_view metaModelPath);

    static Result<InstanceSpecifier> Create(std::string_view metaModelPath);

    std::string_view ToString() const noexcept { return path_; }

    bool operator==(const InstanceSpecifier& other) const noexcept { return path_ == other.path_; }
    bool operator!=(const InstanceSpecifier& other) const noexcept { return path_ != other.path_; }
    bool operator<(const InstanceSpecifier& other) const noexcept { return path_ < other.path_; }

  private:
    struct Validated {};
    InstanceSpecifier(Validated, std::string_view metaModelPath) : path_(metaModelPath) {}

    std::string path_;
};

}  // namespace ara::core
