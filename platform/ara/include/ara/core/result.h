#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "ara/core/error_code.h"

namespace ara::core {

// A value or an error. Value() and Error() must only be called when the result holds that side.
template <typename T, typename E = ErrorCode>
class Result {
  public:
    using value_type = T;
    using error_type = E;

    Result(const T& value) : storage_(std::in_place_index<0>, value) {}        // NOLINT: implicit by design
    Result(T&& value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    explicit Result(const E& error) : storage_(std::in_place_index<1>, error) {}
    explicit Result(E&& error) : storage_(std::in_place_index<1>, std::move(error)) {}

    static Result FromValue(const T& value) { return Result(value); }
    static Result FromValue(T&& value) { return Result(std::move(value)); }
    static Result FromError(const E& error) { return Result(error); }
    static Result FromError(E&& error) { return Result(std::move(error)); }

    bool HasValue() const noexcept { return storage_.index() == 0; }
    explicit operator bool() const noexcept { return HasValue(); }

    const T& Value() const& { return std::get<0>(storage_); }
    T& Value() & { return std::get<0>(storage_); }
    T&& Value() && { return std::get<0>(std::move(storage_)); }
    const E& Error() const& { return std::get<1>(storage_); }
    E&& Error() && { return std::get<1>(std::move(storage_)); }

    template <typename U>
    T ValueOr(U&& defaultValue) const& {
        return HasValue() ? Value() : static_cast<T>(std::forward<U>(defaultValue));
    }

    // The value, or the error thrown as its domain's exception (E must be ErrorCode).
    const T& ValueOrThrow() const& {
        if (!HasValue()) {
            Error().ThrowAsException();
        }
        return Value();
    }
    T ValueOrThrow() && {
        if (!HasValue()) {
            Error().ThrowAsException();
        }
        return std::move(*this).Value();
    }

  private:
    std::variant<T, E> storage_;
};

template <typename E>
class Result<void, E> {
  public:
    using value_type = void;
    using error_type = E;

    Result() noexcept = default;
    explicit Result(const E& error) : error_(error) {}
    explicit Result(E&& error) : error_(std::move(error)) {}

    static Result FromValue() { return Result(); }
    static Result FromError(const E& error) { return Result(error); }
    static Result FromError(E&& error) { return Result(std::move(error)); }

    bool HasValue() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return HasValue(); }
    const E& Error() const& { return *error_; }

    void ValueOrThrow() const {
        if (error_) {
            error_->ThrowAsException();
        }
    }

  private:
    std::optional<E> error_;
};

}  // namespace ara::core
