#pragma once

#include <cstdint>

namespace ara::core {

class ErrorCode;

// A family of error codes with a unique 64-bit id. Domains are singletons that live for the whole process;
// two domains are equal when their ids are.
class ErrorDomain {
  public:
    using IdType = std::uint64_t;
    using CodeType = std::int32_t;
    using SupportDataType = std::int32_t;

    ErrorDomain(const ErrorDomain&) = delete;
    ErrorDomain& operator=(const ErrorDomain&) = delete;

    IdType Id() const noexcept { return id_; }
    virtual const char* Name() const noexcept = 0;
    // The message of a code; never null.
    virtual const char* Message(CodeType errorCode) const noexcept = 0;
    // Throws the domain's exception type carrying `errorCode`.
    [[noreturn]] virtual void ThrowAsException(const ErrorCode& errorCode) const noexcept(false) = 0;

    bool operator==(const ErrorDomain& other) const noexcept { return id_ == other.id_; }
    bool operator!=(const ErrorDomain& other) const noexcept { return id_ != other.id_; }

  protected:
    explicit ErrorDomain(IdType id) noexcept : id_(id) {}
    virtual ~ErrorDomain() = default;

  private:
    IdType id_;
};

}  // namespace ara::core
