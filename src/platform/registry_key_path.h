// Parsing and joining of registry key paths ("SOFTWARE\Halvern\QOR") and the
// checks on key and value names, shared by the store and by hvreg.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform {

// Longest key name component and value name, in UTF-16 code units.
inline constexpr size_t kMaxKeyNameUnits = 255;
inline constexpr size_t kMaxValueNameUnits = 16383;
// Deepest key path; bounds the recursion of copies and tree deletions.
inline constexpr size_t kMaxKeyDepth = 512;

// Splits `path` into its components. The empty path (the root) has none; one
// trailing backslash is ignored. InvalidArgument for a leading backslash, an
// empty component, a component longer than kMaxKeyNameUnits, a NUL character,
// text that is not UTF-8, or more than kMaxKeyDepth components.
RegistryError SplitKeyPath(std::string_view path, std::vector<std::string_view>& components);

// `parent` + "\" + `child`; the child alone when the parent is empty, and no
// doubled backslash when the parent already ends with one.
std::string JoinKeyPath(std::string_view parent, std::string_view child);

// Ok, or InvalidArgument for a value name that is not UTF-8, holds a NUL or
// is longer than kMaxValueNameUnits.
RegistryError CheckValueName(std::string_view name);

// ASCII case-insensitive equality, the comparison of key and value names.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// True when the key `path` lies strictly below `ancestor` (component-wise,
// case-insensitive): "A\b\C" is below "a\B", "AB" is not below "A".
bool IsBelowKey(const std::vector<std::string_view>& path, const std::vector<std::string_view>& ancestor);

}  // namespace platform
