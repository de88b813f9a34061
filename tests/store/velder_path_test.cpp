#include "store/velder_path.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace VelderPath {
namespace {

using nlohmann::json;

Path P(std::string_view text) {
  Path path;
  EXPECT_TRUE(Parse(text, path)) << text;
  return path;
}

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
  struct Case {
    std::string text;
    bool valid;
    std::string elements;  // Describe() of the result when valid
    std::string printed;   // ToString() of the result when valid
  };
  const std::vector<Case> cases = {
      {"", true, "", ""},
      {"a", true, "k:a", "a"},
      {"a.b-c.0.d_e", true, "k:a k:b-c i:0 k:d_e", "a.b-c.0.d_e"},
      {"a.0", true, "k:a i:0", "a.0"},
      {"a.00", true, "k:a i:0", "a.0"},
      {"a.007", true, "k:a i:7", "a.7"},
      {"0.x", true, "i:0 k:x", "0.x"},
      {"a.99999", true, "k:a i:99999", "a.99999"},
      {"A_b-9", true, "k:A_b-9", "A_b-9"},
      {"a." + std::string(40, '0') + "12", true, "k:a i:12", "a.12"},
      {"a.100000", false, "", ""},
      {"a.4294967296", false, "", ""},
      {"a.18446744073709551616", false, "", ""},
      {"a.-1", false, "", ""},
      {"0a", false, "", ""},
      {"_a", false, "", ""},
      {"a..b", false, "", ""},
      {".a", false, "", ""},
      {"a.", false, "", ""},
      {"a b", false, "", ""},
      {"a.-b", false, "", ""},
      {"a.b$", false, "", ""},
      {"caf\xC3\xA9", false, "", ""},  // bytes outside ASCII
      {std::string("a\0b", 3), false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Path path;
    ASSERT_EQ(Parse(c.text, path), c.valid);
    if (c.valid) {
      EXPECT_EQ(Describe(path), c.elements);
      EXPECT_EQ(ToString(path), c.printed);
      // What ToString prints parses back to the same path.
      Path again;
      ASSERT_TRUE(Parse(ToString(path), again));
      EXPECT_EQ(again, path);
    } else {
      EXPECT_TRUE(path.empty());
    }
  }
}

TEST(VelderPath, ParseAppendsAndLeavesPathAloneOnFailure) {
  Path path = P("a.1");
  ASSERT_TRUE(Parse("b", path));
  EXPECT_EQ(Describe(path), "k:a i:1 k:b");
  // The first segments are valid, the last is not: nothing is kept.
  EXPECT_FALSE(Parse("c.d.100000", path));
  EXPECT_EQ(Describe(path), "k:a i:1 k:b");
}

TEST(VelderPath, ParseLimitsDepth) {
  std::string deepest = "a";
  for (size_t i = 1; i < kMaxDepth; ++i) deepest += ".a";
  Path path;
  ASSERT_TRUE(Parse(deepest, path));
  EXPECT_EQ(path.size(), kMaxDepth);
  Path tooDeep;
  EXPECT_FALSE(Parse(deepest + ".0", tooDeep));
  EXPECT_TRUE(tooDeep.empty());
  // A very long key is fine: only the number of elements is limited.
  Path longKey;
  EXPECT_TRUE(Parse(std::string(1 << 20, 'k'), longKey));
}

TEST(VelderPath, AppendSegmentClassifiesOneSegment) {
  struct Case {
    std::string segment;
    std::string elements;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"key", "k:key"}, {"5", "i:5"}, {"05", "i:5"}, {"99999", "i:99999"}, {"100000", ""}, {"5x", ""},
      {"x.y", ""},      {"", ""},     {"-", ""},     {"a-", "k:a-"},        {"\xC3\xA9", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.segment);
    Path path = P("root");
    EXPECT_EQ(AppendSegment(path, c.segment), !c.elements.empty());
    EXPECT_EQ(Describe(path), c.elements.empty() ? "k:root" : "k:root " + c.elements);
  }
  EXPECT_TRUE(IsValidKey("a"));
  EXPECT_FALSE(IsValidKey(""));
  EXPECT_FALSE(IsValidKey("1"));
}

TEST(VelderPath, EqualityStartsWithAndSubPath) {
  EXPECT_EQ(P("a.01"), P("a.1"));
  EXPECT_FALSE(P("a.1") == P("a.b"));
  // A key "1" built by hand is not the index 1.
  Path keyOne;
  keyOne.push_back(Element::MakeKey("a"));
  keyOne.push_back(Element::MakeKey("1"));
  EXPECT_FALSE(keyOne == P("a.1"));
  EXPECT_EQ(ToString(keyOne), "a.1");

  struct Case {
    std::string path, prefix;
    bool starts;
  };
  const std::vector<Case> cases = {
      {"a.b", "", true},  {"a.b", "a.b", true}, {"a.b", "a", true},     {"a", "a.b", false},
      {"", "a", false},   {"ab", "a", false},    {"a.0.b", "a.00", true}, {"a.1", "a.10", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " / " + c.prefix);
    EXPECT_EQ(StartsWith(P(c.path), P(c.prefix)), c.starts);
  }

  const Path path = P("a.1.b.c");
  EXPECT_EQ(SubPath(path, 0, 2), P("a.1"));
  EXPECT_EQ(SubPath(path, 1, 2), P("1.b"));
  EXPECT_EQ(SubPath(path, 2, 100), P("b.c"));
  EXPECT_EQ(SubPath(path, 10, 1), P(""));
  EXPECT_EQ(SubPath(path, 1, static_cast<size_t>(-1)), P("1.b.c"));
}

// Logs every call; refuses CanContinue once `refuseContinueAt` steps were
// taken, and refuses the step numbered `refuseStepAt` (from 0).
class RecordingWalker : public VelderPathWalker {
 public:
  static constexpr size_t kNever = static_cast<size_t>(-1);
  explicit RecordingWalker(size_t refuseContinueAt = kNever, size_t refuseStepAt = kNever)
      : refuseContinueAt_(refuseContinueAt), refuseStepAt_(refuseStepAt) {}
  bool CanContinue() override {
    log_ += "?";
    return steps_ != refuseContinueAt_;
  }
  bool OnIndex(uint32_t index) override { return Step("i" + std::to_string(index)); }
  bool OnKey(const std::string& key) override { return Step("k" + key); }
  const std::string& log() const { return log_; }

 private:
  bool Step(const std::string& what) {
    log_ += what;
    return steps_++ != refuseStepAt_;
  }
  size_t refuseContinueAt_;
  size_t refuseStepAt_;
  size_t steps_ = 0;
  std::string log_;
};

TEST(VelderPath, WalkCallsInOrderAndStopsAtFirstRefusal) {
  {
    RecordingWalker walker;
    EXPECT_TRUE(Walk(P(""), walker));
    EXPECT_EQ(walker.log(), "");  // the root never calls the walker
  }
  {
    RecordingWalker walker;
    EXPECT_TRUE(Walk(P("a.3.b"), walker));
    EXPECT_EQ(walker.log(), "?ka?i3?kb");
  }
  {
    RecordingWalker walker(/*refuseContinueAt=*/1);
    EXPECT_FALSE(Walk(P("a.3.b"), walker));
    EXPECT_EQ(walker.log(), "?ka?");
  }
  {
    RecordingWalker walker(RecordingWalker::kNever, /*refuseStepAt=*/1);
    EXPECT_FALSE(Walk(P("a.3.b"), walker));
    EXPECT_EQ(walker.log(), "?ka?i3");
  }
}

TEST(VelderPath, FindNeverFailsLoudly) {
  const json doc = json::parse(R"({"a":{"b":[10,{"c":true}]},"s":"text","n":null,"7":"digit"})");
  struct Case {
    std::string path;
    const char* expected;  // JSON text, or null for not found
  };
  const std::vector<Case> cases = {
      {"", nullptr},  // checked below: the document itself
      {"a.b.0", "10"},
      {"a.b.1.c", "true"},
      {"a.b.99999", nullptr},
      {"a.x", nullptr},
      {"a.b.c", nullptr},    // key on an array
      {"a.0", nullptr},      // index on an object
      {"s.0", nullptr},      // index on a string
      {"n", "null"},
      {"7", nullptr},        // an index never finds a member named "7"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const json* found = Find(P(c.path), doc);
    if (c.path.empty()) {
      EXPECT_EQ(found, &doc);
    } else if (c.expected == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(*found, json::parse(c.expected));
    }
  }
  EXPECT_EQ(FindChild(Element::MakeKey("a"), json(5)), nullptr);
  EXPECT_EQ(FindChild(Element::MakeIndex(0), json::array()), nullptr);
  json mutableDoc = doc;
  *Find(P("a.b.0"), mutableDoc) = 11;
  EXPECT_EQ(mutableDoc["a"]["b"][0], 11);
}

TEST(VelderPath, SetAtCreatesObjectsButNeverArrays) {
  struct Case {
    const char* doc;
    std::string path;
    const char* value;
    bool result;
    bool typeMismatch;
    const char* after;  // the document afterwards
  };
  const std::vector<Case> cases = {
      {"{}", "x.y", "1", true, false, R"({"x":{"y":1}})"},
      {"null", "x", "1", true, false, R"({"x":1})"},
      {R"({"x":null})", "x.y.z", "\"v\"", true, false, R"({"x":{"y":{"z":"v"}}})"},
      {R"({"x":5})", "x.y", "1", false, true, R"({"x":5})"},          // key below a number
      {R"({"x":"s"})", "x.y.z", "1", false, true, R"({"x":"s"})"},    // key below a string
      {R"({"x":true})", "x.y", "1", false, true, R"({"x":true})"},    // key below a boolean
      {R"({"x":[1]})", "x.3", "2", false, false, R"({"x":[1]})"},     // arrays are not extended
      {R"({"x":[1]})", "x.0", "2", true, false, R"({"x":[2]})"},
      {R"({"x":[1]})", "x.k", "2", false, false, R"({"x":[1]})"},     // key on an array
      {R"({"x":[{"a":1}]})", "x.0.b", "2", true, false, R"({"x":[{"a":1,"b":2}]})"},
      {"{}", "x.0", "1", false, false, "{}"},                         // arrays are not created
      {"{}", "x.y.0", "1", false, false, "{}"},                       // and nothing half-built stays
      {R"({"x":null})", "x.y.0", "1", false, false, R"({"x":null})"},
      {R"({"a":2.5})", "a", "7", true, false, R"({"a":7})"},          // numbers are one kind
      {R"({"a":7})", "a", "18446744073709551615", true, false, R"({"a":18446744073709551615})"},
      {R"({"a":2.5})", "a", "\"7\"", false, true, R"({"a":2.5})"},
      {R"({"a":{}})", "a", "\"anything\"", true, false, R"({"a":"anything"})"},
      {R"({"a":{"b":1}})", "a", "\"no\"", false, true, R"({"a":{"b":1}})"},
      {R"({"a":{"b":1}})", "a", R"({"c":2})", true, false, R"({"a":{"c":2}})"},
      {R"({"a":[1,2]})", "a", "[3]", true, false, R"({"a":[3]})"},
      {R"({"a":[1,2]})", "a", "{}", false, true, R"({"a":[1,2]})"},
      {R"({"a":1})", "a", "null", true, false, R"({"a":null})"},      // null matches anything
      {R"({"a":null})", "a", "[1]", true, false, R"({"a":[1]})"},
      {R"({"a":1})", "", R"({"b":2})", true, false, R"({"b":2})"},    // object over object
      {R"({"a":1})", "", "[1]", false, true, R"({"a":1})"},           // a non-empty object wants one
      {"{}", "", "[1]", true, false, "[1]"},                          // an empty root takes anything
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
  struct Case {
    const char* doc;
    std::string path;
    bool removed;
    const char* after;
  };
  const std::vector<Case> cases = {
      {R"({"a":1,"b":2})", "a", true, R"({"b":2})"},
      {R"({"a":1})", "", false, R"({"a":1})"},  // the root stays
      {R"({"a":1})", "b", false, R"({"a":1})"},
      {R"({"a":{"b":1}})", "a.b", true, R"({"a":{}})"},
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

TEST(VelderPath, IsValidValue) {
  struct Case {
    const char* value;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"1", true},
      {"18446744073709551615", true},
      {"{}", true},
      {"[]", true},
      {R"({"a":{"b-c":[1,"x",{"d_9":true}]}})", true},
      {"null", false},
      {R"({"a":null})", false},
      {"[1,null]", false},
      {R"({"1a":1})", false},
      {R"({"a.b":1})", false},
      {R"({"ok":{"bad key":1}})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(IsValidValue(json::parse(c.value)), c.valid);
  }
  EXPECT_FALSE(IsValidValue(json(std::numeric_limits<double>::infinity())));
  EXPECT_FALSE(IsValidValue(json(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_FALSE(IsValidValue(json::binary({1, 2})));

  EXPECT_TRUE(IsValidValue(json(std::vector<int>(kMaxArraySize, 1))));
  EXPECT_FALSE(IsValidValue(json(std::vector<int>(kMaxArraySize + 1, 1))));
}

// Deep nesting from a client must be refused without exhausting the stack;
// the parser and the destructor of the JSON library do not recurse, so only
// our own walk could.
TEST(VelderPath, IsValidValueRefusesDeepNestingWithoutRecursingIntoIt) {
  auto nested = [](size_t depth, const std::string& open, const std::string& close, const std::string& leaf) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += open;
    text += leaf;
    for (size_t i = 0; i < depth; ++i) text += close;
    return json::parse(text);
  };
  EXPECT_TRUE(IsValidValue(nested(kMaxDepth, "[", "]", "1")));
  EXPECT_FALSE(IsValidValue(nested(kMaxDepth + 1, "[", "]", "1")));
  EXPECT_FALSE(IsValidValue(nested(1000000, "[", "]", "")));
  EXPECT_FALSE(IsValidValue(nested(1000000, R"({"a":)", "}", "1")));

  EXPECT_TRUE(IsWithinDepth(json(1), 0));
  EXPECT_FALSE(IsWithinDepth(json::array(), 0));
  EXPECT_TRUE(IsWithinDepth(json::array(), 1));
  EXPECT_FALSE(IsWithinDepth(json::parse("[[1],[[]]]"), 2));
  EXPECT_FALSE(IsWithinDepth(nested(1000000, "[", "]", ""), 64));
}

}  // namespace
}  // namespace VelderPath

namespace VelderPath {
namespace {

TEST(NestsDeeperThan, CountsBracketsOutsideStringsOnly) {
  struct Case {
    const char* text;
    size_t limit;
    bool deeper;
  } cases[] = {
      {"", 0, false},           {"1", 0, false},         {"[]", 0, true},
      {"[]", 1, false},         {"[[1],[2]]", 2, false}, {"[[[1]]]", 2, true},
      {R"("[[[[")", 0, false},  {R"(["\"[[["])", 1, false}, {R"({"a":{"b":[1]}})", 2, true},
      {"]]]][[", 1, true},      {R"(["\\"[)", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NestsDeeperThan(c.text, c.limit), c.deeper);
  }
  EXPECT_TRUE(NestsDeeperThan(std::string(1 << 20, '['), kMaxDepth));
}

}  // namespace
}  // namespace VelderPath
