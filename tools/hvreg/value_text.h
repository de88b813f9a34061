// Value data as hvreg shows it and as users type it after /d.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hvreg {

// "REG_SZ" for REG_SZ and so on; other types as "0x<type>".
std::string TypeName(uint32_t type);
// The type named by `name` (REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD,
// REG_QWORD, REG_MULTI_SZ, REG_NONE; any case); nullopt for anything else.
std::optional<uint32_t> ParseTypeName(std::string_view name);

// The bytes of a value of `type` from the text after /d:
//   REG_SZ, REG_EXPAND_SZ  the text itself
//   REG_DWORD, REG_QWORD   a decimal number or 0x followed by hex digits
//   REG_BINARY, REG_NONE   hex digits, two per byte
//   REG_MULTI_SZ           elements separated by `separator` (default "\0",
//                          the two characters backslash and zero)
// False with `error` set when the text does not fit the type.
bool ParseValueData(uint32_t type, std::string_view text, std::string_view separator, std::vector<uint8_t>& data,
                    std::string& error);

// A value's data for display: text as it is, numbers as 0x..., multi-strings
// joined with "\0", anything else as hex digits.
std::string DisplayValueData(uint32_t type, const std::vector<uint8_t>& data);

}  // namespace hvreg
