// Base documents: what the settings server delivers for a hive (its schema
// under "data"."eff_schema" and its values under "data"."values").
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace Schema {

// Parses a base document received as text. A text that does not parse is
// logged and gives an empty object.
nlohmann::json GetBase(std::string_view text);

// Whether a document may become a hive's base: "data"."eff_schema" is an
// object and "data"."values", when present, is an object.
bool IsValidBase(const nlohmann::json& document);

}  // namespace Schema
