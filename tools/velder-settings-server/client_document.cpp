#include "client_document.h"

#include <vector>

#include "crypto_text.h"
#include "store/schema_node.h"

namespace settings_server {
namespace {

using json = nlohmann::json;

// The innermost failing place below `node`, or nullopt when `value` passes.
// Values were depth-checked when they were parsed, so the recursion is bounded.
std::optional<std::string> Locate(const Schema::SchemaNode& node, const json& value, const std::string& path) {
  std::optional<json> described, undescribed;
  if (node.Validate(value, described, undescribed) == Schema::kValid) return std::nullopt;
  if (!node.IsAbsent() && !node.IsDynamic()) {
    if (value.is_object() && node.Type() == Schema::kObject) {
      for (const auto& [key, member] : value.items()) {
        Schema::SchemaNode child(node, key);
        if (auto inner = Locate(child, member, path + "." + key)) return inner;
      }
    } else if (value.is_array() && node.Type() == Schema::kArray) {
      for (size_t i = 0; i < value.size(); ++i) {
        Schema::SchemaNode element = node;
        element.OnIndex(static_cast<uint32_t>(i));
        if (auto inner = Locate(element, value[i], path + "." + std::to_string(i))) return inner;
      }
    }
  }
  return path;
}

std::vector<std::string_view> SplitTags(std::string_view header) {
  std::vector<std::string_view> tags;
  while (!header.empty()) {
    const size_t comma = header.find(',');
    std::string_view tag = header.substr(0, comma);
    while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
    while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
    if (!tag.empty()) tags.push_back(tag);
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return tags;
}

}  // namespace

json MergedValues(const ProductRecord& product, const json& overrides) {
  json values = product.values.is_object() ? product.values : json::object();
  values.merge_patch(overrides);
  return values;
}

ClientDocument BuildClientDocument(const ProductRecord& product, const json& overrides) {
  json document = {{"data", {{"eff_schema", product.schema}, {"values", MergedValues(product, overrides)}}}};
  ClientDocument result;
  result.body = document.dump();
  result.etag = "\"" + Sha256Hex(result.body).substr(0, 32) + "\"";
  return result;
}

std::optional<std::string> FindSchemaViolation(const json& schema, const json& values, const json& changed) {
  if (!changed.is_object() || !values.is_object()) return std::nullopt;
  const Schema::SchemaNode root(schema);
  for (const auto& [key, ignored] : changed.items()) {
    auto member = values.find(key);
    if (member == values.end()) continue;
    Schema::SchemaNode node(root, key);
    if (auto path = Locate(node, *member, key)) return path;
  }
  return std::nullopt;
}

bool IfMatchMatches(std::string_view header, std::string_view etag) {
  for (std::string_view tag : SplitTags(header)) {
    if (tag == "*" || tag == etag) return true;
  }
  return false;
}

bool IfNoneMatchMatches(std::string_view header, std::string_view etag) {
  auto opaque = [](std::string_view tag) { return tag.starts_with("W/") ? tag.substr(2) : tag; };
  for (std::string_view tag : SplitTags(header)) {
    if (tag == "*" || opaque(tag) == opaque(etag)) return true;
  }
  return false;
}

}  // namespace settings_server
