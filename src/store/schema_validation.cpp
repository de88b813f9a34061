// Validation of values against a schema node, and the split of a value into
// the part the schema describes (stored in the hive's "patch") and the part it
// does not describe (stored in "local").
#include "logging/log.h"
#include "store/schema_keywords.h"
#include "store/schema_member_cursor.h"
#include "store/schema_node.h"

namespace Schema {

using nlohmann::json;

namespace {

// Adds a member to an output object, created empty when first needed. Names
// come in ascending order, so each goes to the end.
template <typename Value>
void AppendMember(std::optional<json>& output, const std::string& name, Value&& value) {
  if (!output || !output->is_object()) output = json::object();
  auto& members = output->get_ref<json::object_t&>();
  members.emplace_hint(members.end(), name, std::forward<Value>(value));
}

}  // namespace

ValidationResult SchemaNode::Validate(const json& value, std::optional<json>& described,
                                      std::optional<json>& undescribed, const VelderPath::Path& at) const {
  if (!VelderPath::IsWithinDepth(value, kMaxValidationDepth)) return kViolation;
  return ValidateValue(value, described, undescribed, Location(at));
}

ValidationResult SchemaNode::ValidateArray(const json& value, const Location& at) const {
  if (!VelderPath::IsWithinDepth(value, kMaxValidationDepth)) return kViolation;
  return ValidateArray(value, at, DepthChecked{});
}

ValidationResult SchemaNode::ValidateValue(const json& value, std::optional<json>& described,
                                           std::optional<json>& undescribed, const Location& at) const {
  if (dynamic_) {
    described = value;
    return kValid;
  }
  if (IsAbsent()) {
    // Inside an array the value would land in an element the schema does not
    // describe, and arrays are stored whole in "patch": refuse it.
    if (insideArray_) return kViolation;
    undescribed = value;
    return kValid;
  }
  const SchemaType type = Type();
  if (type == kObject) return ValidateObject(value, described, undescribed, at);
  const ValidationResult result =
      type == kArray ? ValidateArray(value, at, DepthChecked{}) : ValidateSimpleType(type, value, at);
  if (result == kValid) described = value;
  return result;
}

ValidationResult SchemaNode::ValidateObject(const json& value, std::optional<json>& described,
                                            std::optional<json>& undescribed, const Location& at) const {
  if (!value.is_object()) return kViolation;
  if (RunKeywordChecks(kObject, value) != kValid) return kViolation;
  // Members arrive in ascending order, so the schema's properties are found by
  // stepping forward, and the outputs grow at their ends.
  MemberCursor schemaMembers(Properties());
  for (const auto& [name, member] : value.get_ref<const json::object_t&>()) {
    const json* schemaMember = schemaMembers.Seek(name);
    if (schemaMember == nullptr) {
      AppendMember(undescribed, name, member);
      continue;
    }
    const SchemaNode child(*this, name, *schemaMember);
    std::optional<json> childDescribed;
    std::optional<json> childUndescribed;
    if (child.ValidateValue(member, childDescribed, childUndescribed, Location(at, name)) != kValid) {
      return kViolation;
    }
    if (childDescribed) AppendMember(described, name, std::move(*childDescribed));
    if (childUndescribed) AppendMember(undescribed, name, std::move(*childUndescribed));
  }
  return kValid;
}

ValidationResult SchemaNode::ValidateArray(const json& value, const Location& at, DepthChecked) const {
  if (IsAbsent()) return kViolation;
  if (!value.is_array()) {
    HV_LOG_ERROR("Value is not array at \"{}\"", at.ToString());
    return kViolation;
  }
  if (RunKeywordChecks(kArray, value) != kValid) return kViolation;
  SchemaNode element(*this);
  if (!element.OnIndex(0)) return kViolation;
  for (size_t i = 0; i < value.size(); ++i) {
    // Only the verdict counts: the array as a whole is the described value.
    std::optional<json> described;
    std::optional<json> undescribed;
    if (element.ValidateValue(value[i], described, undescribed, Location(at, i)) != kValid) return kViolation;
  }
  return kValid;
}

ValidationResult SchemaNode::ValidateSimpleType(SchemaType type, const json& value, const Location& at) const {
  if (IsAbsent()) return kViolation;
  if (GetValueSchemaType(value) != Type()) {
    HV_LOG_ERROR("Type error. Schema type is {} and value type is {} at \"{}\"", static_cast<uint32_t>(Type()),
                 static_cast<int>(value.type()), at.ToString());
    return kViolation;
  }
  return RunKeywordChecks(type, value);
}

ValidationResult SchemaNode::RunKeywordChecks(SchemaType type, const json& value) const {
  // The root is an implicit object without keywords: its members are
  // settings, and one named "enum" or "required" is no keyword.
  if (forcedObject_) return kValid;
  if (readonly_ && !insideArray_ && CheckDefault(*node_, value) != kValid) return kViolation;
  for (KeywordCheck check : KeywordChecksFor(type)) {
    if (check(*node_, value) != kValid) return kViolation;
  }
  return kValid;
}

}  // namespace Schema
