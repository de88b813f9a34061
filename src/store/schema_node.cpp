// Walking and resolution of schema nodes. Validation is in
// schema_validation.cpp, the effective document in schema_apply.cpp.
#include "store/schema_node.h"

#include <string_view>

namespace Schema {

namespace {

using nlohmann::json;

// A flag keyword: missing or not a boolean counts as false.
bool Flag(const json& value) { return value.is_boolean() && value.get<bool>(); }

}  // namespace

SchemaNode::SchemaNode(const json& schemaRoot) : node_(&schemaRoot), forcedObject_(true) { Resolve(); }

SchemaNode::SchemaNode(const SchemaNode& parent, const std::string& key) : SchemaNode(parent) { OnKey(key); }

SchemaNode::SchemaNode(const SchemaNode& parent, const std::string& key, const json& member) : SchemaNode(parent) {
  if (type_ != kObject || dynamic_) {
    Leave();
  } else {
    StepToMember(key, &member);
  }
}

bool SchemaNode::CanContinue() { return node_ != nullptr; }

bool SchemaNode::OnKey(const std::string& key) {
  if (type_ != kObject || dynamic_) {
    Leave();
    return false;
  }
  const json* child = nullptr;
  if (properties_ != nullptr) {
    const auto it = properties_->find(key);
    if (it != properties_->end()) child = &*it;
  }
  StepToMember(key, child);
  return true;
}

void SchemaNode::StepToMember(const std::string& key, const json* child) {
  parent_ = node_;
  node_ = child;
  lastKey_ = key;
  hasLastKey_ = true;
  lastStepWasKey_ = true;
  forcedObject_ = false;
  Resolve();
}

bool SchemaNode::OnIndex(uint32_t /*index*/) {
  if (type_ != kArray) {
    Leave();
    return false;
  }
  insideArray_ = true;
  parent_ = node_;
  node_ = items_;
  lastStepWasKey_ = false;
  forcedObject_ = false;
  Resolve();
  return CanContinue();
}

void SchemaNode::Leave() {
  node_ = nullptr;
  forcedObject_ = false;
  type_ = kNone;
  hasPatternProperties_ = false;
  properties_ = nullptr;
  items_ = nullptr;
  default_ = nullptr;
}

void SchemaNode::Resolve() {
  if (node_ == nullptr || !node_->is_object()) {
    Leave();
    return;
  }
  if (forcedObject_) {
    // The root's members are settings, not keywords: a setting named
    // "readonly" or "type" marks nothing.
    type_ = kObject;
    hasPatternProperties_ = false;
    properties_ = node_;
    items_ = nullptr;
    default_ = nullptr;
    return;
  }
  const json* type = nullptr;
  const json* properties = nullptr;
  const json* items = nullptr;
  hasPatternProperties_ = false;
  default_ = nullptr;
  bool readonly = false;
  bool dynamic = false;
  for (const auto& [name, value] : node_->get_ref<const json::object_t&>()) {
    const std::string_view keyword = name;
    if (keyword == "type") {
      type = &value;
    } else if (keyword == "properties") {
      properties = &value;
    } else if (keyword == "items") {
      items = &value;
    } else if (keyword == "default") {
      default_ = &value;
    } else if (keyword == "readonly") {
      readonly = Flag(value);
    } else if (keyword == "dynamic") {
      dynamic = Flag(value);
    } else if (keyword == "patternProperties") {
      hasPatternProperties_ = true;
    }
  }
  if (!readonly_) readonly_ = readonly;
  if (!dynamic_) dynamic_ = dynamic;
  type_ = GetSchemaType(*node_, type);
  properties_ = properties != nullptr && properties->is_object() ? properties : nullptr;
  items_ = items != nullptr && items->is_object() ? items : nullptr;

  if (type_ == kArray) {
    if (items_ == nullptr) {
      Leave();
      return;
    }
    if (arrayRoot_ == nullptr) arrayRoot_ = node_;
  } else if (type_ == kObject && !dynamic_) {
    if (properties_ == nullptr && !hasPatternProperties_) Leave();
  }
}

}  // namespace Schema
