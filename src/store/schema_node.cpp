// Walking and resolution of schema nodes. Validation is in
// schema_validation.cpp, the effective document in schema_apply.cpp.
#include "store/schema_node.h"

namespace Schema {

namespace {

using nlohmann::json;

const json* Member(const json& node, const char* name) {
  const auto it = node.find(name);
  return it == node.end() ? nullptr : &*it;
}

// A flag keyword: missing or not a boolean counts as false.
bool Flag(const json& node, const char* name) {
  const json* value = Member(node, name);
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

}  // namespace

SchemaNode::SchemaNode(const json& schemaRoot) : node_(&schemaRoot), forcedObject_(true) { Resolve(); }

SchemaNode::SchemaNode(const SchemaNode& parent, const std::string& key) : SchemaNode(parent) { OnKey(key); }

bool SchemaNode::CanContinue() { return node_ != nullptr; }

bool SchemaNode::OnKey(const std::string& key) {
  const SchemaType type = Type();
  if (type != kObject || dynamic_) {
    Leave();
    return false;
  }
  const json* properties = Properties();
  const json* child = nullptr;
  if (properties != nullptr) {
    const auto it = properties->find(key);
    if (it != properties->end()) child = &*it;
  }
  parent_ = node_;
  node_ = child;
  lastKey_ = key;
  hasLastKey_ = true;
  lastStepWasKey_ = true;
  forcedObject_ = false;
  Resolve();
  return true;
}

bool SchemaNode::OnIndex(uint32_t /*index*/) {
  if (Type() != kArray) {
    Leave();
    return false;
  }
  insideArray_ = true;
  parent_ = node_;
  node_ = Items();
  lastStepWasKey_ = false;
  forcedObject_ = false;
  Resolve();
  return CanContinue();
}

void SchemaNode::Leave() {
  node_ = nullptr;
  forcedObject_ = false;
  ClearCaches();
}

void SchemaNode::ClearCaches() {
  typeKnown_ = false;
  propertiesKnown_ = false;
  itemsKnown_ = false;
}

void SchemaNode::Resolve() {
  ClearCaches();
  if (node_ == nullptr) return;
  if (!node_->is_object()) {
    Leave();
    return;
  }
  // The root's members are settings, not keywords: a setting named
  // "readonly" marks nothing.
  if (!forcedObject_) {
    if (!readonly_) readonly_ = Flag(*node_, "readonly");
    if (!dynamic_) dynamic_ = Flag(*node_, "dynamic");
  }
  const SchemaType type = Type();
  if (type == kArray) {
    if (Items() == nullptr) {
      Leave();
      return;
    }
    if (arrayRoot_ == nullptr) arrayRoot_ = node_;
  } else if (type == kObject && !dynamic_) {
    if (Properties() == nullptr && !HasPatternProperties()) Leave();
  }
}

SchemaType SchemaNode::Type() const {
  if (!typeKnown_) {
    if (node_ == nullptr) {
      type_ = kNone;
    } else if (forcedObject_) {
      type_ = kObject;
    } else {
      type_ = GetSchemaType(*node_);
    }
    typeKnown_ = true;
  }
  return type_;
}

const json* SchemaNode::Properties() const {
  if (!propertiesKnown_) {
    properties_ = nullptr;
    if (node_ != nullptr) {
      const json* properties = forcedObject_ ? node_ : Member(*node_, "properties");
      if (properties != nullptr && properties->is_object()) properties_ = properties;
    }
    propertiesKnown_ = true;
  }
  return properties_;
}

const json* SchemaNode::Items() const {
  if (!itemsKnown_) {
    items_ = nullptr;
    if (node_ != nullptr) {
      const json* items = Member(*node_, "items");
      if (items != nullptr && items->is_object()) items_ = items;
    }
    itemsKnown_ = true;
  }
  return items_;
}

const json* SchemaNode::Default() const {
  if (node_ == nullptr || forcedObject_) return nullptr;
  return Member(*node_, "default");
}

bool SchemaNode::HasPatternProperties() const {
  return node_ != nullptr && !forcedObject_ && Member(*node_, "patternProperties") != nullptr;
}

}  // namespace Schema
