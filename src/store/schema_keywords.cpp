#include "store/schema_keywords.h"

#include "logging/log.h"
#include "store/regex_cache.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace Schema {

namespace {

using nlohmann::json;

// Every 64-bit integer, signed or not, and every double is exact in it.
using Integer = long double;
static_assert(std::numeric_limits<Integer>::digits >= 64, "integers must compare exactly");

// The length and count bounds are 32-bit quantities; a larger bound (or a
// negative one, which reads as a huge unsigned number) disables "maxLength"
// and "maxItems" and makes "minLength" and "minItems" fail.
constexpr uint64_t kMaxCountBound = 4294967295u;

const json* Keyword(const json& node, std::string_view name) {
  const auto it = node.find(name);
  return it == node.end() ? nullptr : &*it;
}

// A number (or boolean, as 0 or 1) truncated toward zero.
bool ReadInteger(const json& number, Integer& out) {
  switch (number.type()) {
    case json::value_t::number_integer:
      out = static_cast<Integer>(number.get<int64_t>());
      return true;
    case json::value_t::number_unsigned:
      out = static_cast<Integer>(number.get<uint64_t>());
      return true;
    case json::value_t::number_float: {
      const double value = number.get<double>();
      if (std::isnan(value)) return false;
      out = std::trunc(static_cast<Integer>(value));
      return true;
    }
    case json::value_t::boolean:
      out = number.get<bool>() ? 1 : 0;
      return true;
    default:
      return false;
  }
}

// A count bound read as an unsigned 64-bit number: negative numbers wrap to
// huge ones, fractions are truncated.
bool ReadCountBound(const json& bound, uint64_t& out) {
  switch (bound.type()) {
    case json::value_t::number_integer:
      out = static_cast<uint64_t>(bound.get<int64_t>());
      return true;
    case json::value_t::number_unsigned:
      out = bound.get<uint64_t>();
      return true;
    case json::value_t::number_float: {
      const double value = bound.get<double>();
      if (std::isnan(value)) return false;
      if (value < 0 || value >= 18446744073709551616.0) {
        out = std::numeric_limits<uint64_t>::max();
      } else {
        out = static_cast<uint64_t>(value);
      }
      return true;
    }
    case json::value_t::boolean:
      out = bound.get<bool>() ? 1 : 0;
      return true;
    default:
      return false;
  }
}

ValidationResult CheckCount(const json& node, uint64_t count, const char* minName, const char* maxName) {
  uint64_t bound = 0;
  if (const json* min = Keyword(node, minName)) {
    if (!ReadCountBound(*min, bound) || bound > kMaxCountBound || count < bound) return kViolation;
  }
  if (const json* max = Keyword(node, maxName)) {
    if (!ReadCountBound(*max, bound)) return kViolation;
    if (bound <= kMaxCountBound && count > bound) return kViolation;
  }
  return kValid;
}

// Compares the value with a bound; `fails` says, from the value and the
// bound, whether the check fails.
template <typename Fails>
ValidationResult CheckBound(const json& node, const json& value, const char* name, Fails fails) {
  const json* bound = Keyword(node, name);
  if (bound == nullptr) return kValid;
  Integer boundValue = 0;
  Integer number = 0;
  if (!ReadInteger(*bound, boundValue) || !ReadInteger(value, number)) return kViolation;
  return fails(number, boundValue) ? kViolation : kValid;
}

}  // namespace

ValidationResult CheckDefault(const json& node, const json& value) {
  const json* defaultValue = Keyword(node, "default");
  return defaultValue != nullptr && *defaultValue == value ? kValid : kViolation;
}

ValidationResult CheckEnum(const json& node, const json& value) {
  const json* allowed = Keyword(node, "enum");
  if (allowed == nullptr) return kValid;
  if (!allowed->is_array()) return kViolation;
  for (const json& candidate : *allowed) {
    if (candidate == value) return kValid;
  }
  return kViolation;
}

ValidationResult CheckRequired(const json& node, const json& value) {
  const json* required = Keyword(node, "required");
  if (required == nullptr) return kValid;
  if (!required->is_array() || !value.is_object()) return kViolation;
  for (const json& name : *required) {
    if (!name.is_string() || !value.contains(name.get_ref<const std::string&>())) return kViolation;
  }
  return kValid;
}

ValidationResult CheckItemCount(const json& node, const json& value) {
  if (!value.is_array()) return kViolation;
  return CheckCount(node, value.size(), "minItems", "maxItems");
}

ValidationResult CheckUniqueItems(const json& node, const json& value) {
  const json* unique = Keyword(node, "uniqueItems");
  if (unique == nullptr) return kValid;
  if (!unique->is_boolean() || !value.is_array()) return kViolation;
  if (!unique->get<bool>() || value.size() < 2) return kValid;
  // Sorting finds duplicates in n log n; comparing every pair would let a
  // client with a 99999-element array hold a hive for minutes. Stable sort
  // stays within bounds even if the ordering were inconsistent.
  std::vector<const json*> elements;
  elements.reserve(value.size());
  for (const json& element : value) elements.push_back(&element);
  std::stable_sort(elements.begin(), elements.end(), [](const json* a, const json* b) { return *a < *b; });
  for (size_t i = 1; i < elements.size(); ++i) {
    if (*elements[i - 1] == *elements[i]) return kViolation;
  }
  return kValid;
}

ValidationResult CheckLength(const json& node, const json& value) {
  if (!value.is_string()) return kViolation;
  return CheckCount(node, value.get_ref<const std::string&>().size(), "minLength", "maxLength");
}

ValidationResult CheckPattern(const json& node, const json& value) {
  const json* pattern = Keyword(node, "pattern");
  if (pattern == nullptr) return kValid;
  if (!pattern->is_string() || !value.is_string()) return kViolation;
  const std::shared_ptr<const Regex> regex = RegexCache::Global().Get(pattern->get_ref<const std::string&>());
  if (regex == nullptr) return kViolation;
  std::string error;
  switch (regex->Search(value.get_ref<const std::string&>(), error)) {
    case Regex::Outcome::kMatch:
      return kValid;
    case Regex::Outcome::kNoMatch:
      return kViolation;
    case Regex::Outcome::kError:
      break;
  }
  HV_LOG_WARNING("Pattern '{}' not evaluated on a text of {} bytes: {}", regex->Pattern(),
                 value.get_ref<const std::string&>().size(), error);
  return kViolation;
}

ValidationResult CheckMinimum(const json& node, const json& value) {
  if (CheckBound(node, value, "minimum", [](Integer v, Integer b) { return v < b; }) != kValid) return kViolation;
  return CheckBound(node, value, "exclusiveMinimum", [](Integer v, Integer b) { return v <= b; });
}

ValidationResult CheckMaximum(const json& node, const json& value) {
  if (CheckBound(node, value, "maximum", [](Integer v, Integer b) { return v > b; }) != kValid) return kViolation;
  return CheckBound(node, value, "exclusiveMaximum", [](Integer v, Integer b) { return v >= b; });
}

ValidationResult CheckMultipleOf(const json& node, const json& value) {
  // fmodl is exact on integers, has no overflow case (the smallest 64-bit
  // integer by -1 traps as an integer division) and gives NaN for infinities.
  return CheckBound(node, value, "multipleOf", [](Integer v, Integer b) { return b == 0 || std::fmod(v, b) != 0; });
}

std::span<const KeywordCheck> KeywordChecksFor(SchemaType type) {
  static constexpr KeywordCheck kObjectChecks[] = {CheckEnum, CheckRequired};
  static constexpr KeywordCheck kArrayChecks[] = {CheckEnum, CheckItemCount, CheckUniqueItems};
  static constexpr KeywordCheck kStringChecks[] = {CheckEnum, CheckLength, CheckPattern};
  static constexpr KeywordCheck kNumberChecks[] = {CheckEnum, CheckMinimum, CheckMaximum, CheckMultipleOf};
  static constexpr KeywordCheck kOtherChecks[] = {CheckEnum};
  switch (type) {
    case kObject: return kObjectChecks;
    case kArray: return kArrayChecks;
    case kString: return kStringChecks;
    case kNumber: return kNumberChecks;
    default: return kOtherChecks;
  }
}

}  // namespace Schema
