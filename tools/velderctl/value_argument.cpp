#include "tools/velderctl/value_argument.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdint>

#include "client/value_codec.h"
#include "platform/utf.h"

namespace velderctl {
namespace {

using nlohmann::json;

// JSON's integer grammar: an optional "-", then "0" or a digit string
// without a leading zero. "007" stays a text: as a number it would not read
// back as it was written.
bool LooksLikeJsonInteger(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  if (digits.empty() || (digits.size() > 1 && digits.front() == '0')) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool ParseInteger(std::string_view text, json* value, std::string* error) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec == std::errc::result_out_of_range) {
    *error = fmt::format("'{}' does not fit a 64-bit integer; use --type string or --type json", text);
    return false;
  }
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    *error = fmt::format("'{}' is not a decimal integer", text);
    return false;
  }
  *value = n;
  return true;
}

bool ParseJson(std::string_view text, json* value, std::string* error) {
  if (VelderPath::NestsDeeperThan(text, VelderPath::kMaxDepth)) {
    *error = fmt::format("the JSON value nests deeper than {} levels", VelderPath::kMaxDepth);
    return false;
  }
  try {
    *value = json::parse(text);
  } catch (const json::exception& e) {
    *error = fmt::format("not a JSON document: {}", e.what());
    return false;
  }
  return true;
}

}  // namespace

bool ParseValueArgumentType(std::string_view name, ValueArgumentType* type) {
  if (name == "bool") {
    *type = ValueArgumentType::Bool;
  } else if (name == "int") {
    *type = ValueArgumentType::Int;
  } else if (name == "string") {
    *type = ValueArgumentType::String;
  } else if (name == "json") {
    *type = ValueArgumentType::Json;
  } else {
    return false;
  }
  return true;
}

bool ParseValueArgument(std::string_view text, ValueArgumentType type, json* value, std::string* error) {
  error->clear();
  if (!platform::IsValidUtf8(text)) {
    *error = "the value is not valid UTF-8";
    return false;
  }
  switch (type) {
    case ValueArgumentType::Bool:
      if (text != "true" && text != "false") {
        *error = fmt::format("'{}' is not a boolean: write true or false", text);
        return false;
      }
      *value = text == "true";
      return true;
    case ValueArgumentType::Int:
      return ParseInteger(text, value, error);
    case ValueArgumentType::String:
      *value = std::string(text);
      return true;
    case ValueArgumentType::Json:
      return ParseJson(text, value, error);
    case ValueArgumentType::Infer:
      break;
  }
  if (text == "true" || text == "false") {
    *value = text == "true";
    return true;
  }
  if (LooksLikeJsonInteger(text)) return ParseInteger(text, value, error);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && (text[first] == '{' || text[first] == '[')) {
    if (ParseJson(text, value, error)) return true;
    *error += "; use --type string to store the text as it stands";
    return false;
  }
  *value = std::string(text);
  return true;
}

}  // namespace velderctl
