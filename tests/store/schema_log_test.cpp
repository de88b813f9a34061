// The log lines of schema validation and of the effective document: their
// texts and sources are what administrators search the log for.
#include "logging/log.h"
#include "store/schema_base.h"
#include "store/schema_effective.h"
#include "store/schema_node.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace Schema {
namespace {

using nlohmann::json;

// What `action` writes to the log.
template <typename Action>
std::string LogOf(Action action) {
  testing_support::RouteLogToStandardError();
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

bool Has(const std::string& log, std::string_view source, std::string_view message) {
  return log.find(std::string(source) + ": " + std::string(message)) != std::string::npos;
}

ValidationResult ValidateAt(const json& schema, const std::string& key, const json& value) {
  SchemaNode node(schema);
  node.OnKey(key);
  std::optional<json> described, undescribed;
  return node.Validate(value, described, undescribed);
}

TEST(SchemaLog, ValidationNamesOnlyTypeErrorsAndNonArrays) {
  const json schema = json::parse(R"({"i":{"type":"integer","maximum":1},"l":{"type":"array","items":{}},
                                      "u":{"type":"colour","default":1}})");
  std::string log = LogOf([&] { EXPECT_EQ(ValidateAt(schema, "i", "5"), kViolation); });
  EXPECT_TRUE(Has(log, "Schema::SchemaNode::ValidateSimpleType", "Type error. Schema type is 3 and value type is 3"))
      << log;
  log = LogOf([&] { EXPECT_EQ(ValidateAt(schema, "i", true), kViolation); });
  EXPECT_TRUE(Has(log, "Schema::SchemaNode::ValidateSimpleType", "Type error. Schema type is 3 and value type is 4"))
      << log;
  log = LogOf([&] { EXPECT_EQ(ValidateAt(schema, "l", json::object()), kViolation); });
  EXPECT_TRUE(Has(log, "Schema::SchemaNode::ValidateArray", "Value is not array")) << log;
  log = LogOf([&] { EXPECT_EQ(ValidateAt(schema, "u", 1), kViolation); });
  EXPECT_TRUE(Has(log, "Schema::GetSchemaType", "Unknown schema type 'colour'")) << log;
  // A failed keyword is a plain violation, without a line.
  log = LogOf([&] { EXPECT_EQ(ValidateAt(schema, "i", 5), kViolation); });
  EXPECT_EQ(log.find("Schema::"), std::string::npos) << log;
}

TEST(SchemaLog, EffectiveDocumentNamesSettingsWithoutValueWhenAsked) {
  const json schema = json::parse(R"({"a":{"type":"object","properties":{
      "b":{"type":"integer"},
      "c":{"type":"integer","default":1},
      "p":{"type":"object","patternProperties":{}}}}})");
  std::string log = LogOf([&] { ComputeEffective(schema, json::object(), json::object(), true); });
  EXPECT_TRUE(Has(log, "Schema::SchemaNode::ApplyPrimitiveOrArray", "Missing default values, path: a.b")) << log;
  EXPECT_TRUE(Has(log, "Schema::SchemaNode::Apply", "Failed to apply schema path a.b")) << log;
  EXPECT_TRUE(Has(log, "Schema::SchemaNode::Apply", "a.p contains unsupported patternProperties")) << log;
  EXPECT_TRUE(Has(log, "Schema::SchemaNode::Apply", "Failed to apply schema path a.p")) << log;
  EXPECT_EQ(log.find("path a.c"), std::string::npos) << log;

  log = LogOf([&] { ComputeEffective(schema, json::object(), json::object(), false); });
  EXPECT_EQ(log.find("Schema::"), std::string::npos) << log;
}

TEST(SchemaLog, BaseTextThatDoesNotParse) {
  const std::string log = LogOf([] { EXPECT_EQ(GetBase("{\"data\":"), json::object()); });
  EXPECT_TRUE(Has(log, "Schema::GetBase", "Failed to parse: [json.exception.parse_error.101]")) << log;
}

}  // namespace
}  // namespace Schema
