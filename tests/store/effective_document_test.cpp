// The effective document (schema, base values and overlay), the reset of
// deleted settings and read-only changes between schemas.
#include "store/schema_effective.h"
#include "store/schema_readonly.h"
#include "store/schema_reset.h"
#include "store/path_from_text.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace Schema {
namespace {

using nlohmann::json;

json Effective(const char* schema, const char* base, const char* overlay) {
  return ComputeEffective(json::parse(schema), json::parse(base), json::parse(overlay), /*log=*/false);
}

// Where each setting's value comes from: overlay, base or default. Dynamic
// nodes merge the overlay into the base.
TEST(EffectiveDocument, SourcesOfValuesInObjectsArraysAndDynamicNodes) {
  const char* schema = R"({
    "a": {"type":"integer","default":1}, "bnd": {"type":"integer","default":1,"maximum":6},
    "roa": {"type":"integer","default":1,"readonly":true}, "nodefint": {"type":"integer"}, "notnode": 5,
    "obj": {"type":"object","properties":{
      "x": {"type":"integer","default":3},
      "inner": {"type":"object","properties":{"y":{"type":"string","default":"d"}}},
      "free": {"type":"object","dynamic":true},
      "nodefault": {"type":"boolean"}}},
    "dyn": {"type":"object","dynamic":true,"default":{"d":1}},
    "nodef": {"type":"object","dynamic":true},
    "rodyn": {"type":"object","dynamic":true,"readonly":true},
    "nums": {"type":"array","default":[1,2],"items":{"type":"integer"},"maxItems":3},
    "pp": {"type":"object","patternProperties":{"^x":{"type":"integer","default":0}}},
    "ppinner": {"type":"object","properties":{"pp":{"type":"object","patternProperties":{}},
                                               "z":{"type":"integer","default":0}}},
    "empty": {"type":"object","properties":{"n":{"type":"integer"}}},
    "noitems": {"type":"array","default":[]}
  })";
  // The effective value of `member` ("" for the whole document; null for none).
  struct Case { const char* base; const char* overlay; const char* member; const char* effective; };
  const std::vector<Case> cases = {
      {"{}", "{}", "",
       R"({"a":1,"bnd":1,"dyn":{"d":1},"empty":{},"nums":[1,2],"obj":{"inner":{"y":"d"},"x":3},"ppinner":{"z":0},
           "roa":1})"},
      {R"({"a":"x"})", R"({"a":7})", "a", "1"},  // a base of the wrong type wins nothing
      {"{}", R"({"a":"7"})", "a", "1"},          // an invalid overlay falls back
      {R"({"bnd":5})", R"({"bnd":7})", "bnd", "5"},  // the base is not validated
      {R"({"roa":5})", R"({"roa":7})", "roa", "1"},
      {R"({"a":5,"b":6})", R"({"b":7})", "b", "null"},  // unlisted members are dropped
      {"[1,2]", R"({"a":3})", "a", "3"},                 // base values that are no object
      {R"({"nodefint":5})", "{}", "nodefint", "null"},   // no default: no value
      {R"({"obj":{"x":4,"inner":{"y":"b","q":1},"extra":1}})", R"({"obj":{"inner":{"y":"o"}}})", "obj",
       R"({"inner":{"y":"o"},"x":4})"},
      {R"({"obj":5})", R"({"obj":{"x":9}})", "obj", R"({"inner":{"y":"d"},"x":9})"},  // a scalar base counts as none
      {R"({"nums":[5]})", R"({"nums":[6,"7"]})", "nums", "[5]"},  // one bad element rejects the whole overlay
      {R"({"nums":{"0":1}})", R"({"nums":[6]})", "nums", "[1,2]"},
      {R"({"pp":{"x1":1}})", R"({"pp":{"x2":2}})", "pp", "null"},
      {R"({"dyn":{"a":1,"b":{"c":2,"d":3}}})", R"({"dyn":{"b":{"c":null,"e":4},"f":5}})", "dyn",
       R"({"a":1,"b":{"d":3,"e":4},"f":5})"},
      {R"({"dyn":{"a":1}})", R"({"dyn":{"a":"text"}})", "dyn", R"({"a":1})"},  // another type: ignored
      {R"({"dyn":{"a":1}})", R"({"dyn":{"a":2.5}})", "dyn", R"({"a":2.5})"},
      {R"({"dyn":{"a":1}})", R"({"dyn":null})", "dyn", R"({"d":1})"},  // removed: the default
      {R"({"dyn":{"a":[1,2],"b":[1]}})", R"({"dyn":{"a":[3],"b":{"0":2}}})", "dyn", R"({"a":[3],"b":[1]})"},
      {"{}", R"({"nodef":{"x":{"y":null,"z":1}}})", "nodef", R"({"x":{"z":1}})"},
      {R"({"obj":{"free":{"k":"v"}}})", R"({"obj":{"free":{"k2":"w"}}})", "obj",
       R"({"free":{"k":"v","k2":"w"},"inner":{"y":"d"},"x":3})"},
      {R"({"rodyn":{"a":1}})", R"({"rodyn":{"a":2,"b":3}})", "rodyn", R"({"a":1})"},  // below read-only: the base
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("base ") + c.base + " overlay " + c.overlay);
    const json effective = Effective(schema, c.base, c.overlay);
    EXPECT_EQ(*c.member ? effective.value(c.member, json()) : effective, json::parse(c.effective));
  }
  // Only a schema root that gives nothing gives a null document.
  EXPECT_TRUE(Effective("[]", "{}", "{}").is_null());
  EXPECT_EQ(Effective("{}", R"({"a":5})", R"({"a":5})"), json::object());
  // Settings without a value are logged only when asked, and logging changes nothing in the result.
  json quiet;
  {
    testing_support::LogCapture log;
    quiet = Effective(schema, "{}", "{}");
    EXPECT_FALSE(log.Contains("Schema::")) << log.Text();
  }
  testing_support::LogCapture log;
  EXPECT_EQ(ComputeEffective(json::parse(schema), json::object(), json::object(), /*log=*/true), quiet);
  // An overlay value that no longer fits says where, also in a quiet rebuild.
  Effective(schema, "{}", R"({"obj":{"inner":{"y":5}},"nums":[6,"7"]})");
  EXPECT_TRUE(log.Contains("Missing default values, path: obj.nodefault")) << log.Text();
  EXPECT_TRUE(log.Contains("pp contains unsupported patternProperties")) << log.Text();
  EXPECT_TRUE(log.Contains(R"(Type error. Schema type is 2 and value type is 6 at "obj.inner.y")")) << log.Text();
  EXPECT_TRUE(log.Contains(R"(Type error. Schema type is 3 and value type is 3 at "nums.1")")) << log.Text();
}

// Deleting a setting must make it fall back to what the base and the schema
// give, by changing only the overlay.
TEST(EffectiveDocument, ResetPathFallsBackToDefaults) {
  const json schema = json::parse(R"({
    "a": {"type":"integer","default":1}, "ro": {"type":"integer","default":2,"readonly":true},
    "obj": {"type":"object","properties":{"x": {"type":"integer","default":3}, "y": {"type":"string","default":"d"},
      "lock": {"type":"integer","default":9,"readonly":true}}},
    "dyn": {"type":"object","dynamic":true,"default":{}},
    "rodyn": {"type":"object","dynamic":true,"readonly":true,"default":{}},
    "list": {"type":"array","default":[{"k":1,"r":"x"}], "items":{"type":"object","required":["r"],"properties":{
      "k":{"type":"integer","default":0},"r":{"type":"string","default":""}}}},
    "nums": {"type":"array","default":[1,2,3],"items":{"type":"integer"}},
    "nodef": {"type":"array","items":{"type":"integer"}},
    "free": {"type":"array","default":[],"items":{"type":"object","dynamic":true}}
  })");
  struct Case { std::string path; const char *base, *overlay; ResetResult result; const char* overlayAfter; };
  const std::vector<Case> cases = {
      {"obj.lock", "{}", "{}", kResetRefused, "{}"},
      {"unknown", "{}", R"({"unknown":1})", kResetNothing, R"({"unknown":1})"},
      {"obj", R"({"obj":{"x":5,"lock":1}})", R"({"obj":{"y":"s"}})", kResetDone, R"({"obj":{"x":null,"y":null}})"},
      {"obj.x", R"({"obj":{"x":5}})", R"({"obj":"bad"})", kResetDone, R"({"obj":"bad"})"},  // write refused
      {"dyn.p.q", R"({"dyn":{"p":{"q":1,"r":2}}})", "{}", kResetDone, R"({"dyn":{"p":{"q":null}}})"},
      {"dyn.p", "{}", "{}", kResetDone, "{}"},
      {"rodyn.p", R"({"rodyn":{"p":1}})", "{}", kResetRefused, "{}"},
      {"nums.1", R"({"nums":[5,6]})", R"({"nums":[7,8,9]})", kResetDone, R"({"nums":[7,9]})"},
      {"nums.5", "{}", R"({"nums":[4]})", kResetNothing, R"({"nums":[4]})"},  // a vain delete leaves the overlay alone
      {"nodef.0", "{}", "{}", kResetRefused, "{}"},
      {"nodef.0", R"({"nodef":[4,5]})", "{}", kResetDone, R"({"nodef":[5]})"},
      {"list.0.r", "{}", "{}", kResetRefused, "{}"},
      {"list.0.k", "{}", "{}", kResetDone, R"({"list":[{"r":"x"}]})"},
      {"free.0.p", R"({"free":[{"p":1,"q":2}]})", "{}", kResetDone, R"({"free":[{"q":2}]})"},
      {"", R"({"a":5,"ro":3})", R"({"obj":{"x":1}})", kResetDone, R"({"a":null,"dyn":null,"obj":{"x":null}})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " base " + c.base + " overlay " + c.overlay);
    const json base = json::parse(c.base);
    json overlay = json::parse(c.overlay);
    EXPECT_EQ(ResetPath(schema, P(c.path), base, overlay), c.result);
    EXPECT_EQ(overlay, json::parse(c.overlayAfter));
  }
}

TEST(EffectiveDocument, CompareReadonlyReportsChangedMarks) {
  struct Case { const char* oldSchema; const char* newSchema; std::vector<std::pair<std::string, uint32_t>> reports; };
  const char* plain = R"({"a":{"type":"integer"},"o":{"type":"object","properties":{"x":{"type":"integer"}}}})";
  const char* aReadonly = R"({"a":{"readonly":true},"o":{"type":"object","properties":{"x":{"type":"integer"}}}})";
  const char* oReadonly = R"({"a":{},"o":{"type":"object","readonly":true,"properties":{"x":{"type":"integer"}}}})";
  const char* xReadonly = R"({"a":{},"o":{"type":"object","properties":{"x":{"readonly":true}}}})";
  const std::vector<Case> cases = {
      {plain, aReadonly, {{"a", 1}}},
      {aReadonly, plain, {{"a", 0}}},
      {plain, oReadonly, {{"o", 1}, {"o.x", 1}}},
      {xReadonly, oReadonly, {{"o", 1}}},  // x was read-only already
      {plain, xReadonly, {{"o.x", 1}}},
      {aReadonly, "{}", {}},              // a removed one is not reported
      {plain, R"({"arr":{"type":"array","items":{"type":"integer","readonly":true}},
                 "odd":{"type":"object","properties":{"5":{"type":"integer","readonly":true},
                                                       "bad key":{"type":"integer","readonly":true}}}})",
       {{"odd.5", 1}}},  // arrays are not descended; unnameable members are skipped; "5" is an index
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.oldSchema) + " -> " + c.newSchema);
    std::vector<std::pair<VelderPath::Path, uint32_t>> reports, expected;
    for (const auto& [path, bits] : c.reports) expected.emplace_back(P(path), bits);
    CompareReadonly(json::parse(c.oldSchema), json::parse(c.newSchema),
                    [&](const VelderPath::Path& path, uint32_t bits) { reports.emplace_back(path, bits); });
    EXPECT_EQ(reports, expected);
  }
  CompareReadonly(json::object(), json::parse(aReadonly), nullptr);  // no callback: nothing happens
}

}  // namespace
}  // namespace Schema
