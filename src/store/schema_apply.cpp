// The effective value of a schema node: what clients read, built from the
// schema's defaults, the base values from the server and the local overlay
// ("patch"). The schema decides which settings exist; members that it does
// not list are dropped here (the hive merges its "local" values in later).
#include "logging/log.h"
#include "store/schema_member_cursor.h"
#include "store/schema_merge.h"
#include "store/schema_node.h"

namespace Schema {

using nlohmann::json;

json SchemaNode::Apply(const json* base, const json* overlay, const VelderPath::Path& path, bool log) const {
  return Apply(base, overlay, Location(path), log);
}

json SchemaNode::Apply(const json* base, const json* overlay, const Location& at, bool log) const {
  json result;
  switch (Type()) {
    case kObject:
      if (HasPatternProperties()) {
        if (log) HV_LOG_DEBUG("{} contains unsupported patternProperties", at.ToString());
      } else {
        result = ApplyObject(base, overlay, at, log);
      }
      break;
    case kNone:
      break;
    default:
      result = ApplyPrimitiveOrArray(base, overlay, at, log);
      break;
  }
  if (result.is_null() && log) HV_LOG_ERROR("Failed to apply schema path {}", at.ToString());
  return result;
}

json SchemaNode::ApplyObject(const json* base, const json* overlay, const Location& at, bool log) const {
  // Local changes cannot reach below a read-only mark: what the overlay holds
  // there dates from before the mark and no longer counts.
  if (dynamic_) return ApplyDynamic(base, readonly_ ? nullptr : overlay);
  const json* properties = Properties();
  if (properties == nullptr) return json();
  json result = json::object();
  auto& members = result.get_ref<json::object_t&>();
  MemberCursor baseMembers(base);
  MemberCursor overlayMembers(overlay);
  for (const auto& [name, member] : properties->get_ref<const json::object_t&>()) {
    const SchemaNode child(*this, name, member);
    // The location only names settings in log messages; a member name that
    // is no valid key is still shown as it is.
    json value = child.Apply(baseMembers.Seek(name), overlayMembers.Seek(name), Location(at, name), log);
    // Properties come in ascending order, so each member goes to the end.
    if (!value.is_null()) members.emplace_hint(members.end(), name, std::move(value));
  }
  return result;
}

json SchemaNode::ApplyPrimitiveOrArray(const json* base, const json* overlay, const Location& at, bool log) const {
  const json* defaultValue = Default();
  if (IsAbsent() || defaultValue == nullptr) {
    if (log) HV_LOG_ERROR("Missing default values, path: {}", at.ToString());
    return json();
  }
  if (readonly_) return *defaultValue;
  // A null in the overlay resets the setting, whatever the base holds.
  if (overlay != nullptr && overlay->is_null()) return *defaultValue;
  if (base == nullptr && overlay == nullptr) return *defaultValue;
  // A base value of the wrong type is not trusted, and then neither is the
  // overlay.
  if (base != nullptr && GetValueSchemaType(*base) != Type()) return *defaultValue;
  if (overlay != nullptr) {
    const SchemaType type = Type();
    const ValidationResult verdict =
        type == kArray ? ValidateArray(*overlay, at) : ValidateSimpleType(type, *overlay, at);
    if (verdict == kValid) return *overlay;
  }
  return base != nullptr ? *base : *defaultValue;
}

json SchemaNode::ApplyDynamic(const json* base, const json* overlay) const {
  std::optional<json> merged = Merge(base, overlay);
  if (merged && !merged->is_null()) return std::move(*merged);
  const json* defaultValue = Default();
  return defaultValue != nullptr ? *defaultValue : json();
}

}  // namespace Schema
