// The fast hive file parser against the general one: where it takes a text,
// the document must be the general parser's exactly; where the general
// parser refuses a text, it must refuse it too.
#include <gtest/gtest.h>

#include <string>

#include "store/hive_file_parser.h"

namespace {

using nlohmann::json;

TEST(HiveFileParserTest, TakesWhatTheGeneralParserTakesAndNothingElse) {
  const std::string deep = std::string(300, '[') + std::string(300, ']');
  struct Case {
    std::string text;
    bool fast;  // the fast parser must take it (else it may leave it)
  };
  const Case cases[] = {
      {R"({"a":1,"b":-2,"c":1.5,"d":"x","e":true,"f":false,"g":null,"h":[],"i":{}})", true},
      {" \t\r\n{\"z\":[1,{\"y\":[]}],\"b\":0} \n", true},  // members out of order
      {R"({"a":1,"a":{"x":2}})", true},                   // the later one wins
      {R"({"a":{"x":1},"b":2,"a":3})", true},
      {R"("\u00e9\ud83d\ude00\n\t\"\\\/\b\f\r")", true},
      {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"", true},
      {"\xEF\xBB\xBF{}", true},
      {"18446744073709551615", true},
      {"-9223372036854775808", true},
      {"-0", true},
      {"-0.0", true},
      {"0.1e1", true},
      {"1E+2", true},
      {"1e308", true},
      {"18446744073709551616", false},  // too big for an integer: a double
      {"-9223372036854775809", false},
      {"4.9e-324", false},
      {"1e-400", false},
      {"\"\\u0000\"", false},
      {deep, false},
      // Refused by both.
      {"", false}, {" ", false}, {"{", false}, {"{\"a\"}", false}, {"{\"a\":1,}", false}, {"[1,]", false},
      {"[1 2]", false}, {"01", false}, {"+1", false}, {"1.", false}, {".5", false}, {"1e", false},
      {"--1", false}, {"tru", false}, {"nul", false}, {"{} x", false}, {"{}{}", false}, {"\"abc", false},
      {"\"\x01\"", false}, {"\"\\ud800\"", false}, {"\"\\udc00\"", false}, {"\"\\ud800\\u0041\"", false},
      {"\"\\u12\"", false}, {"\"\\q\"", false}, {"\"\xC0\x80\"", false}, {"\"\xED\xA0\x80\"", false},
      {"\"\xF4\x90\x80\x80\"", false}, {"\"\xFF\"", false}, {"\"\xE2\x82\"", false}, {"1e309", false},
      {std::string("{}\0", 3), false}, {"\xEF\xBB{}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    json fast;
    const bool taken = HiveFileParser::Parse(c.text, fast);
    EXPECT_TRUE(taken || !c.fast) << "left to the general parser";
    json general;
    bool parsed = true;
    try {
      general = json::parse(c.text);
    } catch (const json::exception&) {
      parsed = false;
    }
    if (taken) {
      ASSERT_TRUE(parsed);
      EXPECT_TRUE(HiveFileParser::SameDocument(fast, general)) << fast.dump() << " vs " << general.dump();
    }
    if (parsed) {
      EXPECT_TRUE(HiveFileParser::SameDocument(HiveFileParser::ParseOrThrow(c.text), general));
    } else {
      EXPECT_THROW(HiveFileParser::ParseOrThrow(c.text), json::exception);
    }
  }
}

}  // namespace
