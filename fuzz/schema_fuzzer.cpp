// A schema and a value, both from outside (the schema comes with the server's
// base document, the value from a client): the path, the schema and the value
// are three texts separated by NUL bytes. Validation, the effective document
// and a reset must neither crash nor accept what they then cannot store.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/schema_effective.h"
#include "store/schema_node.h"
#include "store/schema_readonly.h"
#include "store/schema_reset.h"
#include "store/velder_path.h"

using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t first = input.find('\0');
  if (first == std::string_view::npos) return 0;
  const size_t second = input.find('\0', first + 1);
  if (second == std::string_view::npos) return 0;
  VelderPath::Path path;
  if (!VelderPath::Parse(input.substr(0, first), path)) return 0;
  const json schema = json::parse(input.substr(first + 1, second - first - 1), nullptr, false);
  const json value = json::parse(input.substr(second + 1), nullptr, false);
  if (schema.is_discarded() || value.is_discarded() || !VelderPath::IsValidValue(value)) return 0;

  Schema::SchemaNode node(schema);
  VelderPath::Walk(path, node);
  std::optional<json> described, undescribed;
  node.Validate(value, described, undescribed);
  Schema::IsReadonly(schema, path);
  json patch = json::object();
  if (described) {
    bool type_mismatch = false;
    VelderPath::SetAt(path, patch, *described, type_mismatch);
  }
  const json effective = Schema::ComputeEffective(schema, value.is_object() ? value : json::object(), patch, false);
  Schema::ResetPath(schema, path, value, patch);
  (void)effective.dump();
  return 0;
}
