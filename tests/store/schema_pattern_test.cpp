// Patterns of the schema: the expression language, hostile texts and
// patterns, and the cache that request threads share.
#include "store/regex.h"
#include "store/regex_cache.h"
#include "store/schema_node.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

Schema::ValidationResult ValidateString(const std::string& pattern, const std::string& text) {
  const json schema = {{"s", {{"type", "string"}, {"default", ""}, {"pattern", pattern}}}};
  Schema::SchemaNode node(schema);
  node.OnKey("s");
  std::optional<json> described, undescribed;
  return node.Validate(text, described, undescribed);
}

TEST(SchemaPattern, ExpressionsKeepTheirUsualMeaning) {
  struct Case { std::string pattern, subject; bool matches; };
  const std::vector<Case> cases = {
      {"b", "abc", true},                 // a search, not anchored
      {"^abc$", "abc\n", false},          // "$" only at the very end
      {"a.c", "a\nc", false},             // "." stops at line ends
      {"a.c", "a\rc", false},
      {"^.$", "\xC3\xA9", true},          // one code point, two bytes
      {"\\u00e9", "caf\xC3\xA9", true},   // \uXXXX
      {"[^]", "x", true},                 // any character
      {"[]", "x", false},                 // no character
      {"(\\w)\\1", "abccd", true},        // back-references
      {"b", "a\xFF" "b", true},           // invalid UTF-8 is tolerated
      {"^.$", "\xFF", false},
      // White space as JavaScript has it; \d and \w stay ASCII there.
      {"^\\s\\s\\s\\s$", "\xC2\xA0\xEF\xBB\xBF\xE2\x80\x83\xE2\x80\xA9", true},
      {"^[x\\s]$", "\xEF\xBB\xBF", true},
      {"^\\S$", "\xC2\xA0", false},
      {"^[\\S]$", "\xC3\xA9", true},
      {"^\\s$", "\xC2\x85", false},
      {"^\\d$", "\xD9\xA0", false},
      {"^\\\\s$", "\\s", true},  // an escaped backslash, then "s"
      {"^[]\\s$", " ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern + " ~ " + c.subject);
    EXPECT_EQ(ValidateString(c.pattern, c.subject), c.matches ? Schema::kValid : Schema::kViolation);
  }
}

TEST(SchemaPattern, InvalidExpressionsFailTheCheck) {
  for (const std::string pattern : {"(", "[a", "a{2,1}", "*", "\\", "(?<n>a)(?<n>b)", "a)", "\\C"}) {
    SCOPED_TRACE(pattern);
    std::string error;
    EXPECT_EQ(Regex::Compile(pattern, error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ValidateString(pattern, "a"), Schema::kViolation);
  }
}

// A client may send a text of any length; the search must end with a verdict
// and never exhaust the stack of the request thread.
TEST(SchemaPattern, LongTextsAndPathologicalPatternsEndWithAVerdict) {
  const std::string mebibyte(1 << 20, 'a');
  EXPECT_EQ(ValidateString("^[a-z]+$", mebibyte), Schema::kValid);
  EXPECT_EQ(ValidateString("b", mebibyte), Schema::kViolation);
  EXPECT_EQ(ValidateString("a$", mebibyte), Schema::kValid);
  // Group repetitions keep one backtracking frame per character: these may
  // reach the heap limit, which fails the check, but must not crash.
  EXPECT_EQ(ValidateString("(a|b)*c", mebibyte), Schema::kViolation);
  for (const char* pattern : {"^(a|b)*$", "^(?:a|aa)+$", "^(a+)+$"}) (void)ValidateString(pattern, mebibyte);

  // Exponential backtracking is cut off by the match limit.
  const std::string almost = std::string(40, 'a') + "!";
  std::string error;
  const auto regex = Regex::Compile("^(a+)+$", error);
  ASSERT_NE(regex, nullptr);
  EXPECT_EQ(regex->Search(almost, error), Regex::Outcome::kError);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ValidateString("^(a+)+$", almost), Schema::kViolation);

  std::string mixed;  // multi-byte and invalid sequences
  for (int i = 0; i < 200000; ++i) mixed += "\xE2\x82\xAC\xFF";
  EXPECT_EQ(ValidateString("\\u20ac", mixed), Schema::kValid);
  EXPECT_EQ(ValidateString("^(?:\\u20ac)+$", mixed), Schema::kViolation);
}

TEST(SchemaPattern, CacheCompilesOncePerPatternAndStaysBounded) {
  RegexCache cache(3);
  const auto first = cache.Get("^a+$");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cache.Get("^a+$"), first);
  EXPECT_EQ(cache.Get("("), nullptr);  // a broken pattern is remembered as broken
  EXPECT_EQ(cache.Get("("), nullptr);
  EXPECT_EQ(cache.Compilations(), 2u);
  for (const char* pattern : {"b", "c", "d"}) cache.Get(pattern);
  EXPECT_LE(cache.Size(), 3u);
  std::string error;
  EXPECT_EQ(first->Search("aaa", error), Regex::Outcome::kMatch) << "a pattern handed out stays usable";
}

// Validation runs on many request threads at once, sharing compiled patterns.
TEST(SchemaPattern, ConcurrentValidationAgrees) {
  RegexCache cache(4);  // small, so that threads also race on eviction
  const struct { std::string pattern, subject; bool valid; } work[] = {
      {"^[0-9]+$", "12345", true}, {"^[0-9]+$", "12a45", false}, {"x", "abxcd", true}, {"(", "(", false},
      {"^\\w+@\\w+$", "me@home", true}, {"^.{3}$", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", true}, {"z$", "zz\n", false},
  };
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 400; ++i) {
        const auto& w = work[static_cast<size_t>(t + i) % std::size(work)];
        const auto regex = cache.Get(w.pattern);
        std::string error;
        if ((regex != nullptr && regex->Search(w.subject, error) == Regex::Outcome::kMatch) != w.valid) ++mismatches;
        if ((ValidateString(w.pattern, w.subject) == Schema::kValid) != w.valid) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
