// Values between hive JSON and envelopes, both ways, the value type codes and
// the pair and list layouts. The common conversions are pinned end to end by
// the manager's request tests; here are the edges.
#include "wire/value_conversion.h"

#include <gtest/gtest.h>

#include <limits>

#include "store/value_type.h"

namespace {

using nlohmann::json;

IpcMessage WithValue(ValueKind kind, std::string bytes) {
  IpcMessage m;
  m.SetValue(kind, std::move(bytes));
  return m;
}

TEST(ValueConversion, JsonBecomesTheKindAndBytesOfItsTypeOrIsRefused) {
  // A kind of none: refused, the message unchanged.
  const struct { const char* name; json value; std::optional<ValueKind> kind; std::string bytes; } cases[] = {
      {"null", nullptr, ValueKind::None, ""},
      {"unsigned, bit for bit", std::numeric_limits<uint64_t>::max(), ValueKind::Integer, std::string(8, '\xff')},
      {"-2^63 fits", -9223372036854775808.0, ValueKind::Integer, std::string(7, '\0') + "\x80"},
      {"exactly 2^63", 9223372036854775808.0, {}, {}},
      {"too small", -1e19, {}, {}},
      {"not a number", std::numeric_limits<double>::quiet_NaN(), {}, {}},
      {"invalid UTF-8 inside an array", json::array({std::string("\xff")}), {}, {}},
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
  const struct { const char* name; ValueKind kind; std::string bytes; std::optional<json> want; bool parse_error; }
      cases[] = {
      {"boolean 2 is true", ValueKind::Boolean, "\x02", json(true), false},
      {"boolean without bytes", ValueKind::Boolean, "", json(false), false},
      {"integer", ValueKind::Integer, "\xd6" + std::string(7, '\xff'), json(-42), false},
      {"integer of 9 bytes", ValueKind::Integer, std::string(9, '\1'), json(0), false},
      {"JSON with trailing bytes", ValueKind::Json, "1 2", std::nullopt, true},
      {"JSON with a bad key", ValueKind::Json, R"({"1a":1})", std::nullopt, false},
      {"JSON nested too deep", ValueKind::Json, deep, std::nullopt, true},
      {"brackets inside a string do not nest", ValueKind::Json, deep_in_text, json::parse(deep_in_text), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error = "stale";
    EXPECT_EQ(IpcValue::ToJson(WithValue(c.kind, c.bytes), &error), c.want);
    EXPECT_EQ(!error.empty(), c.parse_error) << error;
  }
}

// The codes and names are pinned end to end (manager, client and velderctl
// tests); here: every kind of number is one type, and null none.
TEST(ValueConversion, EveryKindOfNumberIsANumberAndNullIsOther) {
  for (const json& number : {json(-1), json(1u), json(1.5)}) EXPECT_EQ(ValueTypeOf(number), ValueType::Number);
  EXPECT_EQ(ValueTypeOf(nullptr), ValueType::Other);
  EXPECT_EQ(ValueTypeName(ValueType::Other), "other");
}

TEST(ValueConversion, PairAndListLayouts) {
  IpcMessage m;
  IpcValue::SetPair(&m, 4, 0x80000002u);
  EXPECT_EQ(m.value(), std::string("\x04\0\0\0\x02\0\0\x80", 8));
  uint32_t first = 0, second = 0;
  ASSERT_TRUE(IpcValue::GetPair(m, &first, &second));
  EXPECT_EQ(second, 0x80000002u);
  EXPECT_FALSE(IpcValue::GetPair(WithValue(ValueKind::Pair, std::string(7, '\0')), &first, &second));

  using Entries = std::vector<IpcValue::ListEntry>;
  ASSERT_TRUE(IpcValue::SetList(&m, {{"a", 1}, {"", 4}}));
  EXPECT_EQ(m.value_kind(), static_cast<uint8_t>(ValueKind::List));
  EXPECT_EQ(m.value(), std::string("\x02\0\0\0\x01\x04" "a,", 8));
  Entries back;
  ASSERT_TRUE(IpcValue::ParseList(m.value(), &back));
  EXPECT_EQ(back, (Entries{{"a", 1}, {"", 4}})) << "an empty last name";
  // A name with a comma could not be told apart from two names.
  EXPECT_FALSE(IpcValue::SetList(&m, {{"a", 3}, {"b,c", 3}}));
  EXPECT_EQ(m.value(), std::string("\x02\0\0\0\x01\x04" "a,", 8));

  const struct { const char* name; std::string bytes; } malformed[] = {
      {"shorter than the count", std::string("\x01\0\0", 3)},
      {"count beyond the bytes", std::string("\x05\0\0\0\x01\x01", 6)},
      {"more names than entries", std::string("\x01\0\0\0\x01" "a,b", 8)},
      {"names without entries", std::string("\0\0\0\0" "a", 5)},
  };
  for (const auto& c : malformed) {
    SCOPED_TRACE(c.name);
    Entries entries{{"stale", 1}};
    EXPECT_FALSE(IpcValue::ParseList(c.bytes, &entries));
    EXPECT_TRUE(entries.empty());
  }
}

}  // namespace
