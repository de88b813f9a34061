#include "client_document.h"

#include <gtest/gtest.h>

namespace settings_server {
namespace {

using nlohmann::json;

const json kSchema = json::parse(R"({
  "app": {"type": "object", "properties": {
    "level": {"type": "integer", "minimum": 0, "maximum": 10},
    "tags": {"type": "array", "items": {"type": "string", "maxLength": 3}},
    "mode": {"type": "string", "enum": ["a", "b"]}}},
  "free": {"type": "object", "dynamic": true},
  "flag": {"type": "boolean"}
})");

TEST(ClientDocumentTest, FindSchemaViolationNamesTheInnermostFailingPath) {
  struct Case {
    const char* values;
    const char* changed;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {R"({"app":{"level":3}})", R"({"app":{"level":3}})", std::nullopt},
      {R"({"app":{"tags":["ok","long"]}})", R"({"app":{"tags":null}})", "app.tags.1"},
      {R"({"flag":"yes"})", R"({"flag":"yes"})", "flag"},
      {R"({"free":{"any":[1,{"x":null}]}})", R"({"free":1})", std::nullopt},
      // Settings the schema does not describe are the client's own business.
      {R"({"other":{"deep":1}})", R"({"other":1})", std::nullopt},
      // Only the members a change touched are checked; deleted ones pass.
      {R"({"app":{"level":99},"flag":true})", R"({"flag":true,"gone":null})", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.values);
    EXPECT_EQ(FindSchemaViolation(kSchema, json::parse(c.values), json::parse(c.changed)), c.path);
  }
}

TEST(ClientDocumentTest, TagChangesExactlyWhenTheDocumentChanges) {
  // The document's form, the client's values merged over the product's and a
  // new tag for them: SettingsServerTest.ConditionalRequestsMergePatchAndClientIsolation.
  ProductRecord product{kSchema, json::parse(R"({"app":{"level":1,"mode":"a"}})")};
  const ClientDocument base = BuildClientDocument(product, json::object());
  ASSERT_TRUE(base.etag.size() > 2 && base.etag.front() == '"' && base.etag.back() == '"');
  // An override equal to the default leaves the document, and so the tag, as it was.
  EXPECT_EQ(BuildClientDocument(product, json::parse(R"({"app":{"level":1}})")).etag, base.etag);
  product.schema["flag"]["default"] = true;
  EXPECT_NE(BuildClientDocument(product, json::object()).etag, base.etag);
}

TEST(ClientDocumentTest, ConditionalHeadersCompareTags) {
  struct Case {
    const char* header;
    bool ifMatch;
    bool ifNoneMatch;
  };
  const std::string tag = "\"abc\"";
  const Case cases[] = {
      {"\"x\", \"abc\"", true, true}, {"*", true, true}, {"W/\"abc\"", false, true}, {"abc", false, false},
      {" \"abc\" ,", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(IfMatchMatches(c.header, tag), c.ifMatch);
    EXPECT_EQ(IfNoneMatchMatches(c.header, tag), c.ifNoneMatch);
  }
}

}  // namespace
}  // namespace settings_server
