#include "store/schema_type.h"

#include "logging/log.h"

#include <string>
#include <string_view>

namespace Schema {

namespace {

// The names of the schema format, looked up without building a map: this runs
// for every node of every effective-document rebuild.
bool LookUp(std::string_view name, SchemaType& type) {
  struct Entry {
    std::string_view name;
    SchemaType type;
  };
  static constexpr Entry kTable[] = {
      {"object", kObject}, {"array", kArray},   {"string", kString},
      {"integer", kNumber}, {"number", kNumber}, {"boolean", kBoolean},
  };
  for (const Entry& entry : kTable) {
    if (entry.name == name) {
      type = entry.type;
      return true;
    }
  }
  return false;
}

}  // namespace

SchemaType GetSchemaType(const nlohmann::json& node) {
  if (!node.is_object()) return kNone;
  const auto it = node.find("type");
  return GetSchemaType(node, it == node.end() ? nullptr : &*it);
}

SchemaType GetSchemaType(const nlohmann::json& /*node*/, const nlohmann::json* type) {
  if (type == nullptr || !type->is_string()) return kNone;
  const std::string& name = type->get_ref<const std::string&>();
  SchemaType code = kNone;
  if (!LookUp(name, code)) {
    HV_LOG_WARNING("Unknown schema type '{}'", name);
    return kNone;
  }
  return code;
}

SchemaType GetValueSchemaType(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: return kObject;
    case nlohmann::json::value_t::array: return kArray;
    case nlohmann::json::value_t::string: return kString;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float: return kNumber;
    case nlohmann::json::value_t::boolean: return kBoolean;
    default: return kNone;
  }
}

}  // namespace Schema
