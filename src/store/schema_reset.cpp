#include "store/schema_reset.h"

#include "store/schema_node.h"

#include <optional>
#include <string>

namespace Schema {

namespace {

using nlohmann::json;

const json* MemberOf(const json* parent, const std::string& name) {
  if (parent == nullptr || !parent->is_object()) return nullptr;
  const auto it = parent->find(name);
  return it == parent->end() ? nullptr : &*it;
}

// What a setting resets to: null where a value is to go, or nothing. An
// object collects the reset values of its members, and is nothing when none
// has one.
std::optional<json> ResetValue(const SchemaNode& node, const json* base, const json* overlay) {
  // Read-only settings below an object being reset keep what they have.
  if (node.IsReadonly()) return std::nullopt;
  if (node.Type() == kObject) {
    if (node.IsDynamic()) return json();
    const json* properties = node.Properties();
    if (properties == nullptr) return std::nullopt;
    json result = json::object();
    for (const auto& item : properties->get_ref<const json::object_t&>()) {
      const SchemaNode child(node, item.first, item.second);
      if (std::optional<json> value = ResetValue(child, MemberOf(base, item.first), MemberOf(overlay, item.first))) {
        result.emplace(item.first, std::move(*value));
      }
    }
    if (result.empty()) return std::nullopt;
    return result;
  }
  if (base != nullptr || overlay != nullptr) return json();
  return std::nullopt;
}

ResetResult PlainReset(const SchemaNode& node, const VelderPath::Path& path, const json& baseValues,
                       json& overlay) {
  const std::optional<json> value =
      ResetValue(node, VelderPath::Find(path, baseValues), VelderPath::Find(path, overlay));
  if (value) {
    bool typeMismatch = false;
    VelderPath::SetAt(path, overlay, *value, typeMismatch);  // a refused write leaves the overlay as it is
  }
  return kResetDone;
}

// Arrays are stored whole in the overlay: the array as the effective document
// sees it (the overlay's, else the base's, else the default) is stored there
// with the element or member removed. When nothing is removed the overlay
// stays as it was, so that a vain delete does not pin the array's current
// value in the overlay.
ResetResult ArrayReset(const SchemaNode& node, const VelderPath::Path& path, const json& baseValues,
                       json& overlay) {
  size_t firstIndex = 0;
  while (firstIndex < path.size() && path[firstIndex].kind != VelderPath::Element::Index) ++firstIndex;
  const VelderPath::Path prefix = VelderPath::SubPath(path, 0, firstIndex);
  const VelderPath::Path rest = VelderPath::SubPath(path, firstIndex, path.size());
  if (json* inOverlay = VelderPath::Find(prefix, overlay)) {
    return VelderPath::EraseAt(rest, *inOverlay) ? kResetDone : kResetNothing;
  }
  const json* array = VelderPath::Find(prefix, baseValues);
  if (array == nullptr && node.ArrayRoot() != nullptr) {
    const auto it = node.ArrayRoot()->find("default");
    if (it != node.ArrayRoot()->end()) array = &*it;
  }
  if (array == nullptr) return kResetRefused;
  json copy = *array;
  if (!VelderPath::EraseAt(rest, copy)) return kResetNothing;
  bool typeMismatch = false;
  return VelderPath::SetAt(prefix, overlay, copy, typeMismatch) ? kResetDone : kResetNothing;
}

bool IsRequiredMember(const SchemaNode& node) {
  if (!node.LastStepWasKey() || node.ParentNode() == nullptr) return false;
  const auto it = node.ParentNode()->find("required");
  if (it == node.ParentNode()->end() || !it->is_array()) return false;
  for (const json& name : *it) {
    if (name.is_string() && name.get_ref<const std::string&>() == node.LastKey()) return true;
  }
  return false;
}

}  // namespace

ResetResult ResetPath(const json& schemaRoot, const VelderPath::Path& path, const json& baseValues, json& overlay) {
  SchemaNode node(schemaRoot);
  VelderPath::Walk(path, node);
  if (!node.IsAbsent()) {
    if (node.IsReadonly()) return kResetRefused;
    if (!node.IsInsideArray()) return PlainReset(node, path, baseValues, overlay);
    if (IsRequiredMember(node)) return kResetRefused;
    return ArrayReset(node, path, baseValues, overlay);
  }
  if (!node.IsDynamic()) return kResetNothing;
  // Below a dynamic node the reset writes into the overlay, which a read-only
  // mark above must forbid as much as it forbids a write.
  if (node.IsReadonly()) return kResetRefused;
  if (!node.IsInsideArray()) return PlainReset(node, path, baseValues, overlay);
  return ArrayReset(node, path, baseValues, overlay);
}

}  // namespace Schema
