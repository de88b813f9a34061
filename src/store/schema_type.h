// Schema type codes: what kind of value a schema node describes, and the same
// classification for JSON values, so that the two can be compared.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>

namespace Schema {

// "integer" and "number" share one code: a schema that says "integer" still
// accepts 2.5 (the numeric keywords compare it as 2).
enum SchemaType : uint32_t {
  kObject = 0,
  kArray = 1,
  kString = 2,
  kNumber = 3,
  kBoolean = 4,
  kNone = 5,
};

// The code of a schema node's "type". An unknown name is logged at warning
// level; a missing or non-text "type" (or a node that is not an object) gives
// kNone without a message.
SchemaType GetSchemaType(const nlohmann::json& node);
// The same when the caller has already found the node's "type" member
// (null: the node has none).
SchemaType GetSchemaType(const nlohmann::json& node, const nlohmann::json* type);

// The code of a JSON value: object, array, string, any number, boolean;
// kNone for null and binary.
SchemaType GetValueSchemaType(const nlohmann::json& value);

}  // namespace Schema
