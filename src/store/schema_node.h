// A position in a hive's schema, reached by walking a setting path from the
// schema root. The same node validates values that clients write (splitting
// them into the part the schema describes and the part it does not) and builds
// the effective document from base values and local overlays.
//
// Schema format: the root ("data"."eff_schema") is the "properties" object of
// an implicit root object, so each of its members is the node of a top-level
// setting. A node is a JSON object with "type" and, by type, "properties",
// "patternProperties" (recognised, never matched), "items", "default",
// "readonly", "dynamic" and the validation keywords (schema_keywords.h).
// "readonly" and "dynamic" are inherited by everything below the node that
// sets them. A node that is not a JSON object, an array node without "items"
// and an object node without "properties"/"patternProperties" (unless
// dynamic) count as absent: the walk has left the schema there.
//
// A node points into the schema document, which must outlive it and must not
// change while it is used. A node is a small value: copy it freely; one node
// must not be used by two threads at once, but any number of nodes may read
// one schema concurrently.
#pragma once

#include "store/schema_location.h"
#include "store/schema_type.h"
#include "store/velder_path.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace Schema {

enum ValidationResult : int {
  kValid = 0,
  kViolation = 1,
};

// Values nested deeper than this are refused by validation without being
// looked at, so that hostile input cannot exhaust the stack. It is twice the
// depth a client can reach with a path and with a value, so anything that was
// stored through a path can still be validated.
inline constexpr size_t kMaxValidationDepth = 2 * VelderPath::kMaxDepth;

class SchemaNode : public VelderPath::VelderPathWalker {
 public:
  // A root node at `schemaRoot` (a hive's "data"."eff_schema").
  explicit SchemaNode(const nlohmann::json& schemaRoot);
  explicit SchemaNode(const nlohmann::json&& schemaRoot) = delete;  // would dangle
  // The child of `parent` for the member `key` (a copy of the parent stepped
  // with OnKey).
  SchemaNode(const SchemaNode& parent, const std::string& key);
  // The same child when the caller already holds its schema node `member`,
  // found as `key` in parent.Properties() (while iterating them).
  SchemaNode(const SchemaNode& parent, const std::string& key, const nlohmann::json& member);

  SchemaNode(const SchemaNode&) = default;
  SchemaNode& operator=(const SchemaNode&) = default;

  // VelderPathWalker: true while the node is present.
  bool CanContinue() override;
  // Steps to the "items" of an array node; every element shares it.
  bool OnIndex(uint32_t index) override;
  // Steps to a member of an object node's "properties". Below a dynamic node
  // the step fails and leaves the node absent with the dynamic flag set.
  bool OnKey(const std::string& key) override;

  // Validates a value to be stored at this node. On kValid, `described`
  // receives what the schema describes and `undescribed` what it does not
  // (object values split member by member, at every depth); either may stay
  // empty. Never throws; every failure is kViolation. `at` is the path of
  // this node: a logged failure names the place it found, below `at`
  // ("Value is not array at \"a.b.3\"").
  ValidationResult Validate(const nlohmann::json& value, std::optional<nlohmann::json>& described,
                            std::optional<nlohmann::json>& undescribed, const VelderPath::Path& at = {}) const;
  // The checks of a string, number, boolean or type-less node.
  ValidationResult ValidateSimpleType(SchemaType type, const nlohmann::json& value,
                                      const Location& at = Location()) const;
  // The checks of an array node, then every element against "items".
  ValidationResult ValidateArray(const nlohmann::json& value, const Location& at = Location()) const;

  // The effective value at this node from a base value and an overlay value
  // (null pointer: absent). A JSON null result means no value. `log` turns on
  // the messages about settings that give no value; `path` names this node in
  // them and in the messages of overlay values that fail validation.
  nlohmann::json Apply(const nlohmann::json* base, const nlohmann::json* overlay, const VelderPath::Path& path,
                       bool log) const;
  nlohmann::json Apply(const nlohmann::json* base, const nlohmann::json* overlay, const Location& at,
                       bool log) const;
  nlohmann::json ApplyObject(const nlohmann::json* base, const nlohmann::json* overlay, const Location& at,
                             bool log) const;
  // Strings, numbers, booleans and whole arrays: overlay, base or default.
  nlohmann::json ApplyPrimitiveOrArray(const nlohmann::json* base, const nlohmann::json* overlay,
                                       const Location& at, bool log) const;
  // Below a dynamic node the overlay is merged over the base (Schema::Merge).
  nlohmann::json ApplyDynamic(const nlohmann::json* base, const nlohmann::json* overlay) const;

  bool IsAbsent() const { return node_ == nullptr; }
  bool IsReadonly() const { return readonly_; }
  bool IsDynamic() const { return dynamic_; }
  bool IsInsideArray() const { return insideArray_; }
  // The schema node itself (null when absent), the one before the last step,
  // and the first array node met on the walk (null when none).
  const nlohmann::json* Node() const { return node_; }
  const nlohmann::json* ParentNode() const { return parent_; }
  const nlohmann::json* ArrayRoot() const { return arrayRoot_; }
  // The member name of the last key step, and whether the last step of all
  // was a key step (not an index step).
  const std::string& LastKey() const { return lastKey_; }
  bool HasLastKey() const { return hasLastKey_; }
  bool LastStepWasKey() const { return lastStepWasKey_; }

  // Type code; kNone when absent. A root node counts as an object.
  SchemaType Type() const { return type_; }
  // "properties" (the node itself for a root node), "items", "default": null
  // when missing; "properties" and "items" also when not objects.
  const nlohmann::json* Properties() const { return properties_; }
  const nlohmann::json* Items() const { return items_; }
  const nlohmann::json* Default() const { return default_; }
  bool HasPatternProperties() const { return hasPatternProperties_; }

 private:
  // Steps to a member whose schema node the caller already holds (while
  // iterating "properties"), sparing the lookup by name.
  void StepToMember(const std::string& key, const nlohmann::json* child);
  void Resolve();
  void Leave();  // the walk left the schema: the node becomes absent

  ValidationResult ValidateValue(const nlohmann::json& value, std::optional<nlohmann::json>& described,
                                 std::optional<nlohmann::json>& undescribed, const Location& at) const;
  ValidationResult ValidateObject(const nlohmann::json& value, std::optional<nlohmann::json>& described,
                                  std::optional<nlohmann::json>& undescribed, const Location& at) const;
  // ValidateArray for a value whose depth was checked already.
  struct DepthChecked {};
  ValidationResult ValidateArray(const nlohmann::json& value, const Location& at, DepthChecked) const;
  ValidationResult RunKeywordChecks(SchemaType type, const nlohmann::json& value) const;

  const nlohmann::json* node_ = nullptr;
  const nlohmann::json* parent_ = nullptr;
  const nlohmann::json* arrayRoot_ = nullptr;
  bool forcedObject_ = false;
  bool insideArray_ = false;
  bool readonly_ = false;
  bool dynamic_ = false;
  bool hasLastKey_ = false;
  bool lastStepWasKey_ = false;
  std::string lastKey_;

  // The node's own keywords, read in one pass over its members at each step:
  // an effective-document rebuild visits every node of the schema, and
  // looking each keyword up by name was most of its cost.
  SchemaType type_ = kNone;
  bool hasPatternProperties_ = false;
  const nlohmann::json* properties_ = nullptr;
  const nlohmann::json* items_ = nullptr;
  const nlohmann::json* default_ = nullptr;
};

}  // namespace Schema
