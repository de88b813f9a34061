#include "store/schema_merge.h"

#include "store/schema_type.h"

namespace Schema {

namespace {

using nlohmann::json;

const json* MemberOf(const json& object, const std::string& name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace

std::optional<json> Merge(const json* base, const json* overlay) {
  if (overlay != nullptr && overlay->is_null()) return std::nullopt;
  if (base == nullptr) {
    if (overlay == nullptr) return std::nullopt;
    if (!overlay->is_object()) return *overlay;
    json result = json::object();
    for (const auto& [name, member] : overlay->get_ref<const json::object_t&>()) {
      if (std::optional<json> merged = Merge(nullptr, &member)) result.emplace(name, std::move(*merged));
    }
    return result;
  }
  if (overlay == nullptr || GetValueSchemaType(*overlay) != GetValueSchemaType(*base)) return *base;
  if (!overlay->is_object()) return *overlay;

  json result = json::object();
  for (const auto& [name, member] : base->get_ref<const json::object_t&>()) {
    if (std::optional<json> merged = Merge(&member, MemberOf(*overlay, name))) {
      result.emplace(name, std::move(*merged));
    }
  }
  for (const auto& [name, member] : overlay->get_ref<const json::object_t&>()) {
    if (base->contains(name)) continue;
    if (std::optional<json> merged = Merge(nullptr, &member)) result.emplace(name, std::move(*merged));
  }
  return result;
}

}  // namespace Schema
