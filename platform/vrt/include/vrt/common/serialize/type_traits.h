#pragma once

#include <string>
#include <type_traits>
#include <vector>

namespace vrt::common::serialize {

// Classifies the field types a record's enumerate hands to a visitor.

struct EnumerateProbe {
    template <typename U>
    void operator()(const U&) {}
};

// A record: a type with a member template enumerate(visitor).
template <typename T, typename = void>
struct IsStruct : std::false_type {};
template <typename T>
struct IsStruct<T, std::void_t<decltype(std::declval<const T&>().enumerate(std::declval<EnumerateProbe&>()))>>
    : std::true_type {};

template <typename T>
struct IsVector : std::false_type {};
template <typename E, typename A>
struct IsVector<std::vector<E, A>> : std::true_type {};

template <typename T>
struct IsString : std::false_type {};
template <typename Traits, typename A>
struct IsString<std::basic_string<char, Traits, A>> : std::true_type {};

// Numbers and bools: copied as fixed-size values.
template <typename T>
inline constexpr bool kIsScalar = std::is_arithmetic_v<T>;

template <typename T, typename = void>
struct HasIsPlane : std::false_type {};
template <typename T>
struct HasIsPlane<T, std::void_t<decltype(T::IsPlane())>> : std::true_type {};

// Whether a record may be copied as one block of memory. A record that does not say is not.
template <typename T>
bool IsPlaneStruct() {
    if constexpr (HasIsPlane<T>::value) {
        return T::IsPlane();
    } else {
        return false;
    }
}

template <typename T>
inline constexpr bool kAlwaysFalse = false;

// The kind of a field, as a tag that picks a walker's overload for it.
struct ScalarField {};
struct StringField {};
struct VectorField {};
struct StructField {};

template <typename T>
constexpr auto KindOf() {
    if constexpr (kIsScalar<T>) {
        return ScalarField{};
    } else if constexpr (IsString<T>::value) {
        return StringField{};
    } else if constexpr (IsVector<T>::value) {
        return VectorField{};
    } else if constexpr (IsStruct<T>::value) {
        return StructField{};
    } else {
        static_assert(kAlwaysFalse<T>, "field type has no encoding");
    }
}

template <typename T>
using FieldKind = decltype(KindOf<std::remove_const_t<T>>());

}  // namespace vrt::common::serialize
