// Setting paths: the grammar, and finding, writing and erasing by path.
#include "store/velder_path.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "store/path_from_text.h"

namespace VelderPath {
namespace {

using nlohmann::json;

// "k:name" or "i:number" per element, to compare element kinds exactly.
std::string Describe(const Path& path) {
  std::string out;
  for (const Element& e : path) {
    if (!out.empty()) out += ' ';
    out += e.kind == Element::Key ? "k:" + e.key : "i:" + std::to_string(e.index);
  }
  return out;
}

TEST(VelderPath, ParseGrammar) {
  struct Case { std::string text, elements; };  // Describe() of the result; "-" when refused
  const std::vector<Case> cases = {
      {"", ""},
      {"a.b-c.0.d_e", "k:a k:b-c i:0 k:d_e"},
      {"a.007", "k:a i:7"},
      {"0.x", "i:0 k:x"},
      {"a.99999", "k:a i:99999"},
      {"a." + std::string(40, '0') + "12", "k:a i:12"},
      {"a.100000", "-"}, {"a.18446744073709551616", "-"}, {"a.-1", "-"}, {"0a", "-"}, {"_a", "-"}, {"a..b", "-"},
      {".a", "-"},       {"a.", "-"},  {"a b", "-"},  {"caf\xC3\xA9", "-"},  {std::string("a\0b", 3), "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Path path;
    ASSERT_EQ(Parse(c.text, path), c.elements != "-");
    if (c.elements == "-") continue;
    EXPECT_EQ(Describe(path), c.elements);
    Path again;
    ASSERT_TRUE(Parse(ToString(path), again));
    EXPECT_EQ(again, path);
  }
  EXPECT_EQ(ToString(P("a.007")), "a.7");
}

TEST(VelderPath, ParseAppendsWithinTheDepthLimitAndSegmentsStandAlone) {
  Path path = P("a.1");
  ASSERT_TRUE(Parse("b", path));
  EXPECT_FALSE(Parse("c.d.100000", path));
  EXPECT_EQ(Describe(path), "k:a i:1 k:b") << "a refused text appends nothing";

  std::string deepest = "a";
  for (size_t i = 1; i < kMaxDepth; ++i) deepest += ".a";
  Path deep;
  ASSERT_TRUE(Parse(deepest, deep));
  EXPECT_EQ(deep.size(), kMaxDepth);
  EXPECT_FALSE(Parse(deepest + ".0", deep));
  EXPECT_TRUE(Parse(std::string(1 << 20, 'k'), path)) << "only the number of elements is limited";

  for (const auto& [segment, elements] : std::vector<std::pair<std::string, std::string>>{
           {"05", "i:5"}, {"a-", "k:a-"}, {"100000", ""}, {"5x", ""}, {"x.y", ""}, {"", ""}, {"\xC3\xA9", ""}}) {
    SCOPED_TRACE(segment);
    Path root = P("root");
    EXPECT_EQ(AppendSegment(root, segment), !elements.empty());
    EXPECT_EQ(Describe(root), elements.empty() ? "k:root" : "k:root " + elements);
  }
}

TEST(VelderPath, EqualityStartsWithAndSubPath) {
  // A key "1" built by hand is not the index 1.
  Path keyOne;
  keyOne.push_back(Element::MakeKey("a"));
  keyOne.push_back(Element::MakeKey("1"));
  EXPECT_FALSE(keyOne == P("a.1"));

  struct Case { std::string path, prefix; bool starts; };
  for (const Case& c : std::vector<Case>{{"a.b", "", true}, {"a", "a.b", false}, {"ab", "a", false},
                                         {"a.0.b", "a.00", true}, {"a.1", "a.10", false}}) {
    SCOPED_TRACE(c.path + " / " + c.prefix);
    EXPECT_EQ(StartsWith(P(c.path), P(c.prefix)), c.starts);
  }

  const Path path = P("a.1.b.c");
  EXPECT_EQ(SubPath(path, 1, 2), P("1.b"));
  EXPECT_EQ(SubPath(path, 2, 100), P("b.c"));
  EXPECT_EQ(SubPath(path, 10, 1), P(""));
  EXPECT_EQ(SubPath(path, 1, static_cast<size_t>(-1)), P("1.b.c"));
}

TEST(VelderPath, FindNeverFailsLoudly) {
  const json doc = json::parse(R"({"a":{"b":[10,{"c":true}]},"s":"text","n":null,"7":"digit"})");
  const std::pair<std::string, std::string> cases[] = {  // what is found, as JSON text; "-" for nothing
      {"a.b.1.c", "true"}, {"a.b.99999", "-"}, {"a.b.c", "-"}, {"a.0", "-"}, {"s.0", "-"}, {"n", "null"},
      {"7", "-"},  // an index never finds a member "7"
  };
  for (const auto& [path, expected] : cases) {
    const json* found = Find(P(path), doc);
    EXPECT_EQ(found != nullptr ? found->dump() : "-", expected) << path;
  }
  EXPECT_EQ(Find(P(""), doc), &doc);
}

TEST(VelderPath, SetAtCreatesObjectsButNeverArrays) {
  struct Case { const char* doc; std::string path; const char* value; bool result, typeMismatch; const char* after; };
  const std::vector<Case> cases = {
      {"null", "x", "1", true, false, R"({"x":1})"},
      {R"({"x":null})", "x.y.z", "\"v\"", true, false, R"({"x":{"y":{"z":"v"}}})"},
      {R"({"x":5})", "x.y", "1", false, true, R"({"x":5})"},        // key below a number
      {R"({"x":[1]})", "x.k", "2", false, false, R"({"x":[1]})"},   // key on an array
      {R"({"x":[{"a":1}]})", "x.0.b", "2", true, false, R"({"x":[{"a":1,"b":2}]})"},
      {"{}", "x.y.0", "1", false, false, "{}"},  // arrays are not created, nothing half-built stays
      {R"({"a":2.5})", "a", "7", true, false, R"({"a":7})"},  // numbers are one kind
      {R"({"a":2.5})", "a", "\"7\"", false, true, R"({"a":2.5})"},
      {R"({"a":{}})", "a", "\"anything\"", true, false, R"({"a":"anything"})"},
      {R"({"a":{"b":1}})", "a", "\"no\"", false, true, R"({"a":{"b":1}})"},
      {R"({"a":1})", "a", "null", true, false, R"({"a":null})"},  // null matches anything
      {R"({"a":null})", "a", "[1]", true, false, R"({"a":[1]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.doc) + " @" + c.path + " = " + c.value);
    json doc = json::parse(c.doc);
    bool mismatch = !c.typeMismatch;  // must be overwritten
    EXPECT_EQ(SetAt(P(c.path), doc, json::parse(c.value), mismatch), c.result);
    EXPECT_EQ(mismatch, c.typeMismatch);
    EXPECT_EQ(doc, json::parse(c.after));
  }
}

TEST(VelderPath, EraseAtRemovesOnlyWhatIsThere) {
  struct Case { const char* doc; std::string path; bool removed; const char* after; };
  const std::vector<Case> cases = {
      {R"({"a":1})", "", false, R"({"a":1})"},  // the root stays
      {R"({"a":[1,2,3]})", "a.0", true, R"({"a":[2,3]})"},
      {R"({"a":[1,2,3]})", "a.3", false, R"({"a":[1,2,3]})"},
      {R"({"a":{"0":1}})", "a.0", false, R"({"a":{"0":1}})"},
      {R"({"a":[{"b":1,"c":2}]})", "a.0.b", true, R"({"a":[{"c":2}]})"},
      {"null", "a", false, "null"},
      {R"({"x":{}})", "x.y.z", false, R"({"x":{}})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.doc) + " -" + c.path);
    json doc = json::parse(c.doc);
    EXPECT_EQ(EraseAt(P(c.path), doc), c.removed);
    EXPECT_EQ(doc, json::parse(c.after));
  }
}

// Deep nesting from a client must be refused without exhausting the stack;
// the parser and the destructor of the JSON library do not recurse, so only
// our own walk could.
TEST(VelderPath, IsValidValueRefusesNullsBadKeysAndDeepNestingWithoutRecursingIntoIt) {
  for (const auto& [value, valid] : std::vector<std::pair<const char*, bool>>{
           {"18446744073709551615", true}, {R"({"a":{"b-c":[1,"x",{"d_9":true}]}})", true}, {"null", false},
           {"[1,null]", false}, {R"({"1a":1})", false}, {R"({"a.b":1})", false}, {R"({"ok":{"bad key":1}})", false}}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(IsValidValue(json::parse(value)), valid);
  }
  EXPECT_FALSE(IsValidValue(json(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_FALSE(IsValidValue(json::binary({1, 2})));
  EXPECT_TRUE(IsValidValue(json(std::vector<int>(kMaxArraySize, 1))));
  EXPECT_FALSE(IsValidValue(json(std::vector<int>(kMaxArraySize + 1, 1))));

  auto nested = [](size_t depth, const std::string& open, const std::string& close, const std::string& leaf) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += open;
    text += leaf;
    for (size_t i = 0; i < depth; ++i) text += close;
    return json::parse(text);
  };
  EXPECT_TRUE(IsValidValue(nested(kMaxDepth, "[", "]", "1")));
  EXPECT_FALSE(IsValidValue(nested(kMaxDepth + 1, "[", "]", "1")));
  EXPECT_FALSE(IsValidValue(nested(1000000, R"({"a":)", "}", "1")));
}

TEST(NestsDeeperThan, CountsBracketsOutsideStringsOnly) {
  struct Case { const char* text; size_t limit; bool deeper; } cases[] = {
      {"", 0, false},          {"[]", 0, true},          {"[[1],[2]]", 2, false},
      {"[[[1]]]", 2, true},    {R"("[[[[")", 0, false},  {R"(["\"[[["])", 1, false},
      {"]]]][[", 1, true},     {R"(["\\"[)", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NestsDeeperThan(c.text, c.limit), c.deeper);
  }
}

}  // namespace
}  // namespace VelderPath
