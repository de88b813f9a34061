// Schema nodes: the walk along a path, the keyword checks, the split of a
// value into described and undescribed parts, and where a failure is logged.
#include "store/schema_node.h"
#include "store/schema_readonly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/path_from_text.h"
#include "support/log_capture.h"

namespace Schema {
namespace {

using nlohmann::json;

SchemaNode WalkTo(const json& schemaRoot, std::string_view path) {
  SchemaNode node(schemaRoot);
  VelderPath::Walk(P(path), node);
  return node;
}

struct Outcome { ValidationResult result; std::optional<json> described; std::optional<json> undescribed; };

Outcome ValidateAt(const json& schemaRoot, std::string_view path, const json& value) {
  const SchemaNode node = WalkTo(schemaRoot, path);
  Outcome outcome;
  outcome.result = node.Validate(value, outcome.described, outcome.undescribed, P(path));
  return outcome;
}

std::string Text(const std::optional<json>& value) { return value ? value->dump() : "(none)"; }

TEST(SchemaNode, WalkResolvesPresenceAndInheritedFlags) {
  const json schema = json::parse(R"({
    "ro": {"type":"object","readonly":true,"properties":{"a":{"type":"integer","default":1}}},
    "rw": {"type":"integer","default":1,"readonly":"yes"},
    "arr": {"type":"array","items":{"type":"integer"},"default":[]},
    "arrs": {"type":"array","items":{"type":"array","items":{"type":"object","properties":{"x":{"type":"string"}}}}},
    "baditems": {"type":"array","items":true},
    "pp": {"type":"object","patternProperties":{"^x":{"type":"string"}}},
    "badprops": {"type":"object","properties":[1]}, "weird": 5, "unk": {"type":"foo"}
  })");
  struct Case { std::string path; bool present, readonly, dynamic, insideArray; SchemaType type; };
  const std::vector<Case> cases = {
      {"", true, false, false, false, kObject},
      {"ro.a", true, true, false, false, kNumber},
      {"ro.zz", false, true, false, false, kNone},
      {"rw", true, false, false, false, kNumber},  // a non-boolean mark counts as false
      {"arr.5", true, false, false, true, kNumber},
      {"arrs.0.1.x", true, false, false, true, kString},
      {"baditems", false, false, false, false, kNone},
      {"pp", true, false, false, false, kObject},
      {"badprops", false, false, false, false, kNone},
      {"weird", false, false, false, false, kNone},
      {"unk", true, false, false, false, kNone},
      {"0", false, false, false, false, kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const SchemaNode node = WalkTo(schema, c.path);
    EXPECT_EQ(!node.IsAbsent(), c.present);
    EXPECT_EQ(node.IsReadonly(), c.readonly);
    EXPECT_EQ(node.IsDynamic(), c.dynamic);
    EXPECT_EQ(node.IsInsideArray(), c.insideArray);
    EXPECT_EQ(node.Type(), c.type);
    EXPECT_EQ(IsReadonly(schema, P(c.path)), c.readonly);
  }
  // A schema root that is not an object describes nothing.
  const json notAnObject = json::array();
  EXPECT_TRUE(SchemaNode(notAnObject).IsAbsent());
}

// One schema node per case, validated at path "s" of the root {"s": node}.
TEST(SchemaValidation, Keywords) {
  struct Case { const char* node; const char* value; bool valid; };
  const std::vector<Case> cases = {
      // numbers compare as integers, truncated toward zero
      {R"({"type":"number","maximum":2})", "2.5", true},
      {R"({"type":"number","maximum":2})", "3", false},
      {R"({"type":"integer","minimum":5})", "4.9", false},
      {R"({"type":"integer","minimum":-3})", "-3.9", true},
      {R"({"type":"integer","exclusiveMinimum":5})", "5", false},
      {R"({"type":"integer","exclusiveMaximum":5})", "5.5", false},
      {R"({"type":"integer","maximum":true})", "1", true},  // a boolean bound reads as 0 or 1
      {R"({"type":"integer","maximum":"9"})", "1", false},  // a bound that is no number fails
      // huge numbers keep their size instead of wrapping
      {R"({"type":"integer","maximum":10})", "18446744073709551615", false},
      {R"({"type":"integer","maximum":10})", "1e300", false},
      {R"({"type":"integer","maximum":9223372036854775807})", "9223372036854775808", false},
      {R"({"type":"integer","maximum":18446744073709551615})", "18446744073709551615", true},
      {R"({"type":"integer","multipleOf":3})", "10", false},
      {R"({"type":"integer","multipleOf":0})", "0", false},
      {R"({"type":"integer","multipleOf":-1})", "-9223372036854775808", true},  // no trap
      {R"({"type":"integer","enum":[1,"a"]})", "1.0", true},
      {R"({"type":"integer","enum":[]})", "1", false},
      {R"({"type":"integer","enum":1})", "1", false},
      {R"({"type":"array","items":{"type":"integer"},"enum":[[1,2]]})", "[2,1]", false},
      // strings: lengths in bytes of UTF-8
      {R"({"type":"string","maxLength":2})", "\"\u20ac\"", false},
      {R"({"type":"string","minLength":-1})", "\"abc\"", false},  // reads as a huge bound
      {R"({"type":"string","maxLength":-1})", "\"abcdef\"", true},  // no upper limit then
      {R"({"type":"string","maxLength":2.9})", "\"abc\"", false},
      {R"({"type":"string","pattern":5})", "\"5\"", false},  // a pattern that is no text
      {R"({"type":"array","items":{"type":"integer"},"maxItems":2})", "[1,2,3]", false},
      {R"({"type":"array","items":{"type":"integer"},"uniqueItems":true})", "[1,1.0]", false},
      {R"({"type":"array","items":{"type":"integer"},"uniqueItems":"yes"})", "[1,2]", false},
      {R"({"type":"array","items":{"type":"array","items":{"type":"integer"}},"uniqueItems":true})", "[[1],[2]]",
       true},
      {R"({"type":"array","items":{"type":"integer","maximum":3}})", "[1,4]", false},
      {R"({"type":"array","items":{"type":"integer"}})", R"({"0":1})", false},
      {R"({"type":"object","properties":{"a":{"type":"integer"}},"required":["a"]})", R"({"b":1})", false},
      {R"({"type":"object","properties":{"a":{"type":"integer"}},"required":"a"})", R"({"a":1})", false},
      {R"({"type":"object","properties":{"a":{"type":"integer"}},"required":[5]})", R"({"a":1})", false},
      {R"({"type":"object","properties":{"a":{"type":"integer"}}})", R"({"a":"1"})", false},
      {R"({"type":"boolean"})", "\"true\"", false},
      {R"({"default":1})", "1", false},  // no type: only null would fit
      // read-only nodes accept their default only
      {R"({"type":"integer","readonly":true,"default":1})", "3", false},
      // members of a read-only object inherit the mark and need their own default
      {R"({"type":"object","readonly":true,"properties":{"a":{"type":"integer"}},"default":{"a":1}})", R"({"a":1})",
       false},
      // dynamic nodes accept anything
      {R"({"type":"object","dynamic":true})", "\"text\"", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.node) + " <- " + c.value);
    const json schema = {{"s", json::parse(c.node)}};
    const Outcome outcome = ValidateAt(schema, "s", json::parse(c.value));
    ASSERT_EQ(outcome.result == kValid, c.valid);
    if (c.valid && GetSchemaType(schema["s"]) != kObject) {
      // A value the schema describes (not an object) is described whole.
      EXPECT_EQ(Text(outcome.described), json::parse(c.value).dump());
      EXPECT_FALSE(outcome.undescribed);
    }
  }
}

TEST(SchemaValidation, SplitsDescribedFromUndescribedAtEveryDepth) {
  const json schema = json::parse(R"({
    "known": {"type":"integer","default":0}, "free": {"type":"object","dynamic":true}, "bare": {"type":"object"},
    "obj": {"type":"object","properties":{"x": {"type":"integer","default":0},
      "deep": {"type":"object","properties":{"y":{"type":"string","default":""}}}}},
    "list": {"type":"array","default":[],"items":{"type":"object","properties":{"a":{"type":"integer"}}}},
    "grid": {"type":"array","default":[],"items":{"type":"array","items":{"type":"integer"}}},
    "roarr": {"type":"array","readonly":true,"default":[1],"items":{"type":"integer","default":0}}
  })");
  struct Case {
    std::string path;
    const char* value;
    const char* described;  // null: a violation
    const char* undescribed;  // for a violation: what is logged, saying where ("" for nothing)
  };
  const std::vector<Case> cases = {
      {"", R"({"obj":{"x":1,"z":2,"deep":{"y":"s","w":3}},"free":{"anything":[1]},"u":{"v":1}})",
       R"({"free":{"anything":[1]},"obj":{"deep":{"y":"s"},"x":1}})", R"({"obj":{"deep":{"w":3},"z":2},"u":{"v":1}})"},
      {"obj", R"({"deep":{"w":3}})", "(none)", R"({"deep":{"w":3}})"},
      {"obj.deep.w", "3", "(none)", "3"},
      {"obj.x.y", "3", "(none)", "3"},   // below a number: not described
      {"bare", R"({"c":1})", "(none)", R"({"c":1})"},  // an object without properties is absent
      {"free.a.b", R"({"c":1})", R"({"c":1})", "(none)"},
      {"list", R"([{"a":1,"b":2}])", R"([{"a":1,"b":2}])", "(none)"},
      {"list.0", R"({"a":1,"b":2})", R"({"a":1})", R"({"b":2})"},
      {"obj", "{}", "(none)", "(none)"},
      {"roarr.0", "5", "5", "(none)"},  // read-only elements are not held to their default
      {"roarr", "[2]", nullptr, ""},
      {"list.0.b", "2", nullptr, ""},  // inside an array nothing is stored undescribed
      {"", "5", nullptr, ""},
      {"list", R"([{"a":"x"}])", nullptr, R"(Type error. Schema type is 3 and value type is 3 at "list.0.a")"},
      {"list.0", R"({"a":"x"})", nullptr, R"(Type error. Schema type is 3 and value type is 3 at "list.0.a")"},
      {"grid", "[[1],[2],[3],5]", nullptr, R"(Value is not array at "grid.3")"},
      {"grid.0", "7", nullptr, R"(Value is not array at "grid.0")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " <- " + c.value);
    testing_support::LogCapture log;
    const Outcome outcome = ValidateAt(schema, c.path, json::parse(c.value));
    ASSERT_EQ(outcome.result == kValid, c.described != nullptr);
    if (c.described == nullptr) {
      EXPECT_TRUE(log.Contains(c.undescribed)) << log.Text();
      continue;
    }
    EXPECT_EQ(Text(outcome.described), c.described);
    EXPECT_EQ(Text(outcome.undescribed), c.undescribed);
  }
}

// A top-level setting that happens to be called like a keyword is a setting.
TEST(SchemaValidation, RootMembersNamedLikeKeywordsAreSettings) {
  const json schema = json::parse(R"({"enum": {"type":"integer","default":0},
    "required": {"type":"string","default":""}, "readonly": true, "default": {"type":"integer","default":0}})");
  const Outcome outcome = ValidateAt(schema, "", json::parse(R"({"enum":1,"default":2,"x":3})"));
  ASSERT_EQ(outcome.result, kValid);
  EXPECT_EQ(Text(outcome.described), R"({"default":2,"enum":1})");
  EXPECT_EQ(Text(outcome.undescribed), R"({"x":3})");
  EXPECT_FALSE(IsReadonly(schema, P("")));
  EXPECT_FALSE(IsReadonly(schema, P("enum")));
  EXPECT_EQ(ValidateAt(schema, "readonly", json(1)).undescribed, json(1));  // not a node: undescribed
}

TEST(SchemaValidation, HostileValuesEndInAVerdict) {
  const json schema = json::parse(R"({"free": {"type":"object","dynamic":true},
    "list": {"type":"array","items":{"type":"array","items":{"type":"integer"}},"uniqueItems":true},
    "ints": {"type":"array","items":{"type":"integer"},"uniqueItems":true},
    "obj": {"type":"object","properties":{"a":{"type":"integer"}}}})");
  // Nested far deeper than any stack could follow.
  std::string text;
  for (int i = 0; i < 500000; ++i) text += "[";
  for (int i = 0; i < 500000; ++i) text += "]";
  const json deep = json::parse(text);
  for (const char* path : {"", "free", "list", "obj", "undescribed"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(ValidateAt(schema, path, deep).result, kViolation);
    const SchemaNode node = WalkTo(schema, path);
    EXPECT_EQ(node.ValidateArray(deep), kViolation);
  }
  // Exactly at the limit is still judged on its merits.
  json nested = json::array();
  for (size_t i = 1; i < kMaxValidationDepth; ++i) nested = json::array({nested});
  EXPECT_EQ(ValidateAt(schema, "free", nested).result, kValid);
  EXPECT_EQ(ValidateAt(schema, "free", json::array({nested})).result, kViolation);

  // uniqueItems over the largest array a client may store finishes quickly
  // (sorting, not comparing every pair) and still finds the one duplicate.
  json many = json::array();
  for (int i = 0; i < 99999; ++i) many.push_back(i);
  EXPECT_EQ(ValidateAt(schema, "ints", many).result, kValid);
  many.push_back(4711);
  EXPECT_EQ(ValidateAt(schema, "ints", many).result, kViolation);
}

}  // namespace
}  // namespace Schema
