// Values between hive JSON and envelopes, both ways, and the pair and list
// layouts.
#include "wire/value_conversion.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using nlohmann::json;

std::string LE64(int64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xff);
  return s;
}

IpcMessage WithValue(ValueKind kind, std::string bytes) {
  IpcMessage m;
  m.SetValue(kind, std::move(bytes));
  return m;
}

TEST(ValueConversion, JsonBecomesTheKindAndBytesOfItsTypeOrIsRefused) {
  const struct {
    const char* name;
    json value;
    std::optional<ValueKind> kind;  // none: refused, the message unchanged
    std::string bytes;
  } cases[] = {
      {"null", nullptr, ValueKind::None, ""},
      {"true", true, ValueKind::Boolean, "\x01"},
      {"false", false, ValueKind::Boolean, std::string("\0", 1)},
      {"negative", -1, ValueKind::Integer, LE64(-1)},
      {"smallest", std::numeric_limits<int64_t>::min(), ValueKind::Integer, LE64(std::numeric_limits<int64_t>::min())},
      {"unsigned, bit for bit", std::numeric_limits<uint64_t>::max(), ValueKind::Integer, LE64(-1)},
      {"2.5 truncates", 2.5, ValueKind::Integer, LE64(2)},
      {"-2.7 truncates toward zero", -2.7, ValueKind::Integer, LE64(-2)},
      {"-2^63 fits", -9223372036854775808.0, ValueKind::Integer, LE64(std::numeric_limits<int64_t>::min())},
      {"empty string", "", ValueKind::String, ""},
      {"object, compact", json::parse(R"({ "b": [1, 2], "a": {"c": "d"} })"), ValueKind::Json, R"({"a":{"c":"d"},"b":[1,2]})"},
      {"empty object", json::object(), ValueKind::Json, "{}"},
      {"too large for 64 bits", 1e300, {}, {}},
      {"exactly 2^63", 9223372036854775808.0, {}, {}},
      {"too small", -1e19, {}, {}},
      {"infinity", std::numeric_limits<double>::infinity(), {}, {}},
      {"not a number", std::numeric_limits<double>::quiet_NaN(), {}, {}},
      {"invalid UTF-8 inside an array", json::array({std::string("\xff")}), {}, {}},
      {"discarded", json(json::value_t::discarded), {}, {}},
      {"binary", json::binary({1, 2}), {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage m;
    m.SetValue(ValueKind::List, "previous");
    EXPECT_EQ(IpcValue::FromJson(c.value, &m), c.kind.has_value());
    EXPECT_EQ(m.value_kind(), static_cast<uint8_t>(c.kind.value_or(ValueKind::List)));
    EXPECT_EQ(m.value(), c.kind ? c.bytes : "previous");
  }
}

TEST(ValueConversion, RequestValuesBecomeJsonOrNoValue) {
  const std::string deep = std::string(200, '[') + std::string(200, ']');
  const std::string deep_in_text = "{\"a\":\"" + std::string(500, '[') + "\"}";
  const struct {
    const char* name;
    ValueKind kind;
    std::string bytes;
    std::optional<json> expected;
    bool parse_error;
  } cases[] = {
      {"boolean 1", ValueKind::Boolean, "\x01", json(true), false},
      {"boolean 0", ValueKind::Boolean, std::string("\0", 1), json(false), false},
      {"boolean 2 is true", ValueKind::Boolean, "\x02", json(true), false},
      {"boolean without bytes", ValueKind::Boolean, "", json(false), false},
      {"integer", ValueKind::Integer, LE64(-42), json(-42), false},
      {"integer of 7 bytes", ValueKind::Integer, LE64(42).substr(0, 7), json(0), false},
      {"integer of 9 bytes", ValueKind::Integer, LE64(42) + "x", json(0), false},
      {"string", ValueKind::String, "hello", json("hello"), false},
      {"empty string", ValueKind::String, "", json(""), false},
      {"JSON object", ValueKind::Json, R"({"a":[1,{"b":true}]})", json::parse(R"({"a":[1,{"b":true}]})"), false},
      {"JSON number", ValueKind::Json, "2.5", json(2.5), false},
      {"JSON that does not parse", ValueKind::Json, "{\"a\":", std::nullopt, true},
      {"JSON with trailing bytes", ValueKind::Json, "1 2", std::nullopt, true},
      {"JSON null", ValueKind::Json, "null", std::nullopt, false},
      {"JSON with a bad key", ValueKind::Json, R"({"1a":1})", std::nullopt, false},
      {"JSON nested too deep", ValueKind::Json, deep, std::nullopt, true},
      {"brackets inside a string do not nest", ValueKind::Json, deep_in_text,
       json::parse(deep_in_text), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error = "stale";
    const auto value = IpcValue::ToJson(WithValue(c.kind, c.bytes), &error);
    EXPECT_EQ(value, c.expected);
    EXPECT_EQ(!error.empty(), c.parse_error) << error;
  }
}

TEST(ValueConversion, EveryKindOfNumberIsANumberAndNullIsOther) {
  for (const json& number : {json(-1), json(1u), json(1.5)}) {
    EXPECT_EQ(IpcValue::TypeCodeOf(number), IpcValue::TypeCode::Number) << number;
  }
  EXPECT_EQ(IpcValue::TypeCodeOf(nullptr), IpcValue::TypeCode::Other);
}

TEST(ValueConversion, PairLayoutAndReading) {
  IpcMessage m;
  IpcValue::SetPair(&m, 4, 0x80000002u);
  EXPECT_EQ(m.value_kind(), static_cast<uint8_t>(ValueKind::Pair));
  EXPECT_EQ(m.value(), std::string("\x04\0\0\0\x02\0\0\x80", 8));
  uint32_t first = 0, second = 0;
  ASSERT_TRUE(IpcValue::GetPair(m, &first, &second));
  EXPECT_EQ(first, 4u);
  EXPECT_EQ(second, 0x80000002u);

  for (const auto& bad : {WithValue(ValueKind::Pair, std::string(7, '\0')), WithValue(ValueKind::Pair, std::string(9, '\0')),
                          WithValue(ValueKind::Integer, std::string(8, '\0'))}) {
    EXPECT_FALSE(IpcValue::GetPair(bad, &first, &second));
  }
}

TEST(ValueConversion, ListLayoutAndReadingBack) {
  using Entries = std::vector<IpcValue::ListEntry>;
  const struct {
    const char* name;
    Entries entries;
    std::string bytes;
  } cases[] = {
      {"empty", {}, std::string(4, '\0')},
      {"one empty name", {{"", 0}}, std::string("\x01\0\0\0\0", 5)},
      {"two entries", {{"a", 1}, {"bc", 4}}, std::string("\x02\0\0\0\x01\x04" "a,bc", 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage m;
    ASSERT_TRUE(IpcValue::SetList(&m, c.entries));
    EXPECT_EQ(m.value_kind(), static_cast<uint8_t>(ValueKind::List));
    EXPECT_EQ(m.value(), c.bytes);
    Entries back;
    ASSERT_TRUE(IpcValue::ParseList(m.value(), &back));
    EXPECT_EQ(back, c.entries);
  }
  // A name with a comma could not be told apart from two names.
  IpcMessage m;
  m.SetValue(ValueKind::String, "kept");
  EXPECT_FALSE(IpcValue::SetList(&m, {{"a", 3}, {"b,c", 3}}));
  EXPECT_EQ(m.value(), "kept");
}

TEST(ValueConversion, MalformedListsAreRejected) {
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"shorter than the count", std::string("\x01\0\0", 3)},
      {"count beyond the bytes", std::string("\x05\0\0\0\x01\x01", 6)},
      {"huge count", std::string("\xff\xff\xff\xff", 4)},
      {"fewer names than entries", std::string("\x02\0\0\0\x01\x01" "a", 7)},
      {"more names than entries", std::string("\x01\0\0\0\x01" "a,b", 8)},
      {"names without entries", std::string("\0\0\0\0" "a", 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<IpcValue::ListEntry> entries{{"stale", 1}};
    EXPECT_FALSE(IpcValue::ParseList(c.bytes, &entries));
    EXPECT_TRUE(entries.empty());
  }
}

}  // namespace
