// The validation keywords of the schema format, one check per keyword group.
// Each takes the schema node (a JSON object) and the value and gives kValid
// or kViolation. A missing keyword passes; a keyword whose value cannot be
// used as the keyword needs fails. No check throws.
//
// Numbers are compared as integers: a fractional value or bound is truncated
// toward zero first (2.5 against "maximum" 2 passes). Unlike a plain 64-bit
// conversion, values beyond the 64-bit range keep their size (a huge number
// never passes a "maximum" by wrapping around) and no division can trap.
//
// Thread-safe: checks only read their arguments; patterns are compiled once
// through the process-wide RegexCache.
#pragma once

#include "store/schema_node.h"
#include "store/schema_type.h"

#include <nlohmann/json.hpp>

#include <span>

namespace Schema {

using KeywordCheck = ValidationResult (*)(const nlohmann::json& node, const nlohmann::json& value);

// The value must equal "default" (a missing "default" fails). Applies to
// read-only nodes outside arrays, before the checks of the type.
ValidationResult CheckDefault(const nlohmann::json& node, const nlohmann::json& value);
// "enum": the value must equal one element; an empty list refuses everything.
ValidationResult CheckEnum(const nlohmann::json& node, const nlohmann::json& value);
// "required": every listed name must be a member of the (object) value.
ValidationResult CheckRequired(const nlohmann::json& node, const nlohmann::json& value);
// "minItems", "maxItems" on the number of elements.
ValidationResult CheckItemCount(const nlohmann::json& node, const nlohmann::json& value);
// "uniqueItems": a boolean; when true, no two elements may be equal.
ValidationResult CheckUniqueItems(const nlohmann::json& node, const nlohmann::json& value);
// "minLength", "maxLength" on the number of bytes of the UTF-8 text.
ValidationResult CheckLength(const nlohmann::json& node, const nlohmann::json& value);
// "pattern": a regular expression that must match somewhere in the text. A
// pattern that does not compile, or a search that exceeds its limits, fails.
ValidationResult CheckPattern(const nlohmann::json& node, const nlohmann::json& value);
// "minimum", "exclusiveMinimum".
ValidationResult CheckMinimum(const nlohmann::json& node, const nlohmann::json& value);
// "maximum", "exclusiveMaximum".
ValidationResult CheckMaximum(const nlohmann::json& node, const nlohmann::json& value);
// "multipleOf": the remainder must be 0; a bound of 0 fails.
ValidationResult CheckMultipleOf(const nlohmann::json& node, const nlohmann::json& value);

// The checks of a schema type, in order ("enum" first, then the type's own).
std::span<const KeywordCheck> KeywordChecksFor(SchemaType type);

}  // namespace Schema
