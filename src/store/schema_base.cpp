#include "store/schema_base.h"

#include "logging/log.h"

namespace Schema {

using nlohmann::json;

json GetBase(std::string_view text) {
  try {
    return json::parse(text);
  } catch (const json::exception& e) {
    HV_LOG_WARNING("Failed to parse: {}", e.what());
  }
  return json::object();
}

bool IsValidBase(const json& document) {
  if (!document.is_object()) return false;
  const auto data = document.find("data");
  if (data == document.end() || !data->is_object()) return false;
  const auto schema = data->find("eff_schema");
  if (schema == data->end() || !schema->is_object()) return false;
  const auto values = data->find("values");
  return values == data->end() || values->is_object();
}

}  // namespace Schema
