#include "store/schema_readonly.h"

#include "store/schema_node.h"

namespace Schema {

namespace {

void CompareNodes(const SchemaNode& newNode, const SchemaNode& oldNode, VelderPath::Path& path,
                  const ReadonlyChangeCallback& notify) {
  if (newNode.IsAbsent()) return;
  const bool oldReadonly = !oldNode.IsAbsent() && oldNode.IsReadonly();
  if (newNode.IsReadonly() != oldReadonly) {
    notify(path, newNode.IsReadonly() ? kConstraintReadonly : 0);
  } else if (oldReadonly) {
    return;
  }
  if (newNode.Type() != kObject) return;
  const nlohmann::json* properties = newNode.Properties();
  if (properties == nullptr) return;
  for (const auto& item : properties->get_ref<const nlohmann::json::object_t&>()) {
    // Clients name paths by the path grammar; a member name that is no
    // valid segment can neither be subscribed to nor be notified.
    if (!VelderPath::AppendSegment(path, item.first)) continue;
    const SchemaNode newChild(newNode, item.first, item.second);
    const SchemaNode oldChild(oldNode, item.first);
    CompareNodes(newChild, oldChild, path, notify);
    path.pop_back();
  }
}

}  // namespace

bool IsReadonly(const nlohmann::json& schemaRoot, const VelderPath::Path& path) {
  SchemaNode node(schemaRoot);
  VelderPath::Walk(path, node);
  return node.IsReadonly();
}

void CompareReadonly(const nlohmann::json& oldSchemaRoot, const nlohmann::json& newSchemaRoot,
                     const ReadonlyChangeCallback& notify) {
  if (!notify) return;
  VelderPath::Path path;
  CompareNodes(SchemaNode(newSchemaRoot), SchemaNode(oldSchemaRoot), path, notify);
}

}  // namespace Schema
