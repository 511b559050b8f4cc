#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace ara::core::internal {

// One row of a table that names the values of an enumeration: a level, an error code, a mode.
template <typename Enum>
struct EnumName {
    Enum value;
    const char* name;
};

// The name that `table` gives `value`, or `fallback` for a value the table does not list (a code read from
// outside the process may be any number).
template <typename Enum, std::size_t N>
constexpr const char* NameOf(const EnumName<Enum> (&table)[N], Enum value, const char* fallback) noexcept {
    for (const EnumName<Enum>& row : table) {
        if (row.value == value) {
            return row.name;
        }
    }
    return fallback;
}

// The value that `table` names `name`, or nullopt for a name it does not list.
template <typename Enum, std::size_t N>
constexpr std::optional<Enum> ValueOf(const EnumName<Enum> (&table)[N], std::string_view name) noexcept {
    for (const EnumName<Enum>& row : table) {
        if (name == row.name) {
            return row.value;
        }
    }
    return std::nullopt;
}

}  // namespace ara::core::internal
