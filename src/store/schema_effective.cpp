#include "store/schema_effective.h"

#include "store/schema_node.h"

namespace Schema {

namespace {

const nlohmann::json* PresentOrNull(const nlohmann::json& values) {
  if (values.is_null() || (values.is_object() && values.empty())) return nullptr;
  return &values;
}

}  // namespace

nlohmann::json ComputeEffective(const nlohmann::json& schemaRoot, const nlohmann::json& baseValues,
                                const nlohmann::json& overlay, bool log) {
  const SchemaNode root(schemaRoot);
  return root.Apply(PresentOrNull(baseValues), PresentOrNull(overlay), Location(), log);
}

}  // namespace Schema
