#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace vrt::cm::type {

// The identifier of a service interface in the deployment, such as
// "/kestrova/ap/Service/instance/Visualization". Immutable value type.
class ServiceIdentifierType {
  public:
    explicit ServiceIdentifierType(std::string identifier) : identifier_(std::move(identifier)) {}
    explicit ServiceIdentifierType(const char* identifier) : identifier_(identifier) {}

    const std::string& ToString() const noexcept { return identifier_; }

    // The last path element: the service's short name ("Visualization" above).
    std::string_view ShortName() const noexcept {
        const std::size_t slash = identifier_.rfind('/');
        return slash == std::string::npos ? std::string_view(identifier_)
                                          : std::string_view(identifier_).substr(slash + 1);
    }

    bool operator==(const ServiceIdentifierType& other) const noexcept {
        return identifier_ == other.identifier_;
    }
    bool operator!=(const ServiceIdentifierType& other) const noexcept {
        return identifier_ != other.identifier_;
    }
    bool operator<(const ServiceIdentifierType& other) const noexcept {
        return identifier_ < other.identifier_;
    }

  private:
    std::string identifier_;
};

}  // namespace vrt::cm::type
