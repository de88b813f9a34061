// The type of a setting's value as clients learn it: GetMetaData answers it,
// every entry of an enumeration carries it, and the client library hands it
// to its callers. The codes are part of the wire format; this table is their
// only definition, shared by the hive, the envelope and the client library.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string_view>

enum class ValueType : uint8_t {
  Other = 0,  // null, and every entry of EnumerateUsers
  Object = 1,
  Array = 2,
  String = 3,
  Number = 4,  // integer, unsigned or floating point alike
  Boolean = 5,
};

namespace value_type_detail {

struct Row {
  ValueType type;
  std::string_view name;  // as velderctl prints it
  bool (nlohmann::json::*is)() const noexcept;  // the JSON values of this type
};

inline constexpr Row kRows[] = {
    {ValueType::Object, "object", &nlohmann::json::is_object},
    {ValueType::Array, "array", &nlohmann::json::is_array},
    {ValueType::String, "string", &nlohmann::json::is_string},
    {ValueType::Number, "number", &nlohmann::json::is_number},
    {ValueType::Boolean, "boolean", &nlohmann::json::is_boolean},
};

}  // namespace value_type_detail

// The type of a JSON value; Other for null (and the library's binary and
// discarded values, which no hive holds).
inline ValueType ValueTypeOf(const nlohmann::json& value) {
  for (const auto& row : value_type_detail::kRows) {
    if ((value.*row.is)()) return row.type;
  }
  return ValueType::Other;
}

// "object", "array", "string", "number", "boolean"; "other" for anything else.
constexpr std::string_view ValueTypeName(ValueType type) {
  for (const auto& row : value_type_detail::kRows) {
    if (row.type == type) return row.name;
  }
  return "other";
}

// A code read from the wire; Other for a code this side does not know, so
// that a newer service cannot hand a caller a value outside the enumeration.
constexpr ValueType ValueTypeFromCode(uint32_t code) {
  for (const auto& row : value_type_detail::kRows) {
    if (static_cast<uint32_t>(row.type) == code) return row.type;
  }
  return ValueType::Other;
}
