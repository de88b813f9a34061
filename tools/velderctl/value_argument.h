// The VALUE argument of "velderctl set": how a text on the command line
// becomes a typed setting value.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace velderctl {

enum class ValueArgumentType {
  Infer,   // "true"/"false" a boolean, a JSON integer an integer, a JSON object or array itself, else a string
  Bool,    // "true" or "false"
  Int,     // a decimal integer of 64 bits, optionally signed
  String,  // the text as it stands
  Json,    // any JSON document: object, array, number, string, boolean
};

// "bool", "int", "string", "json"; false for any other name.
bool ParseValueArgumentType(std::string_view name, ValueArgumentType* type);

// The value `text` stands for. False, with a message for people in *error,
// when it cannot be read as `type`. Inferred values never change silently:
// an integer too large for 64 bits, or a text that begins like a JSON object
// or array but does not parse, is an error that names the --type to use.
bool ParseValueArgument(std::string_view text, ValueArgumentType type, nlohmann::json* value, std::string* error);

}  // namespace velderctl
