// Registry export files: what the parser accepts and refuses, and that every
// value survives formatting and parsing unchanged.
#include "hvreg/reg_file.h"

#include <gtest/gtest.h>

#include "platform/registry_value_format.h"
#include "platform/utf.h"

namespace hvreg {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kHead = "Windows Registry Editor Version 5.00\r\n\r\n";

std::vector<RegFileKey> ParseOk(const std::string& text) {
  std::vector<RegFileKey> keys;
  std::string error;
  EXPECT_TRUE(RegFile::Parse(text, keys, error)) << error;
  return keys;
}

// One line per key ("-" first when removed) and per value: name ("@" for the
// default), then " -" when removed, else type and data (strings decoded when
// asked, other data as hex).
std::vector<std::string> Describe(const std::vector<RegFileKey>& keys, bool decode = false) {
  std::vector<std::string> lines;
  for (const RegFileKey& k : keys) {
    lines.push_back((k.remove ? "-" : "") + k.key.ToString());
    for (const RegFileValue& v : k.values) {
      std::string data;
      if (!decode || v.type != REG_SZ || !platform::DecodeRegistryString(v.data, data)) {
        for (const uint8_t b : v.data) data += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
      }
      const std::string name = v.name.empty() ? "@" : v.name;
      lines.push_back(name + (v.remove ? " -" : " " + std::to_string(v.type) + " " + data));
    }
  }
  return lines;
}

TEST(RegFile, ReadsEveryFormInEveryEncoding) {
  const std::string text = kHead +
                           "; a comment\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern]\r\n"
                           "@=\"d\xC3\xA9\"\r\n"
                           "\"Quote\\\"d\"=\"C:\\\\dir \\\"x\\\"\"\r\n"
                           "\"Count\"=dword:0000002A\r\n"
                           "\"Short\"=dword:7\r\n"
                           "\"Blob\"=hex:01,02,\\\r\n"
                           "   ff\r\n"
                           "\"Empty\"=hex:\r\n"
                           "\"Odd\"=hex(1234abcd):00\r\n"
                           "\"Gone\"=-\r\n"
                           "  \"Spaced\" = \"v\"  \r\n"
                           "\r\n"
                           "[-HKCU\\Old\\Tree]\r\n"
                           "[hku\\S-1-5-18\\Software]\r\n";
  // Lines ending in LF alone: HvregTest.ExportThenImportRoundTripsEverything.
  for (const std::string& bytes : {text, "\xEF\xBB\xBF" + text, RegFile::Encode(text)}) {
    SCOPED_TRACE(bytes.size());
    const auto keys = ParseOk(bytes);
    EXPECT_EQ(Describe(keys, true),
              (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern", "@ 1 d\xC3\xA9",
                                        "Quote\"d 1 C:\\dir \"x\"", "Count 4 2a000000", "Short 4 07000000",
                                        "Blob 3 0102ff", "Empty 3 ", "Odd 305441741 00", "Gone -", "Spaced 1 v",
                                        "-HKEY_CURRENT_USER\\Old\\Tree", "HKEY_USERS\\S-1-5-18\\Software"}));
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys[0].line, 4);
  }
}

TEST(RegFile, RefusesMalformedInputNamingTheLine) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "must begin with"},
      {"Some Other Header\r\n[HKLM\\A]\r\n", "line 1: the file must begin with"},
      {kHead + "\"v\"=\"x\"\r\n", "line 3: a value before the first [key]"},
      {kHead + "[HKLM\\A\r\n", "line 3: a key line must end with ']'"},
      {kHead + "[HKCR\\A]\r\n", "line 3: 'HKCR\\A' does not begin with"},
      {kHead + "[HKLM\\A\\\\B]\r\n", "not a valid key name"},
      {kHead + "[HKLM\\A]\r\n\"v\"=\"unterminated\r\n", "line 4: missing closing quote"},
      {kHead + "[HKLM\\A]\r\n\"v\"=\"a\\nb\"\r\n", "line 4: a backslash"},
      {kHead + "[HKLM\\A]\r\n\"v\"=\"x\" trailing\r\n", "unexpected text"},
      {kHead + "[HKLM\\A]\r\n\"v\"=dword:123456789\r\n", "not a DWORD"},
      {kHead + "[HKLM\\A]\r\n\"v\"=hex:100\r\n", "is not a hex byte"},
      {kHead + "[HKLM\\A]\r\n\"v\"=hex(2:00\r\n", "needs a type number"},
      {kHead + "[HKLM\\A]\r\n\"v\"=word:1\r\n", "the data must be"},
      {kHead + "[HKLM\\A]\r\n\"v\" \"x\"\r\n", "expected '='"},
      {kHead + "[HKLM\\A]\r\nplain=1\r\n", "line 4: expected a [key]"},
      {kHead + "[-HKLM\\A]\r\n\"v\"=\"x\"\r\n", "being deleted"},
      {kHead + "[HKLM\\A]\r\n\"v\"=hex:01,\\\r\n  zz\r\n", "line 4: 'zz' is not a hex byte"},
      {std::string("\xFF\xFE\x00\xD8", 4), "neither UTF-8 nor UTF-16LE"},
      {kHead + "[HKLM\\A]\r\n\"\xC3(\"=\"x\"\r\n", "neither UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<RegFileKey> keys = {RegFileKey()};
    std::string error;
    EXPECT_FALSE(RegFile::Parse(c.text, keys, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_TRUE(keys.empty()) << "nothing half-parsed";
  }
}

TEST(RegFile, EveryValueSurvivesFormatAndParse) {
  auto sz = [](std::u16string_view units) {
    return platform::RegistryBytes(reinterpret_cast<const uint8_t*>(units.data()),
                                   reinterpret_cast<const uint8_t*>(units.data()) + units.size() * 2);
  };
  RegFileKey key;
  key.key = {HKEY_USERS, "S-1-22-1-7\\Software\\X"};
  Bytes many(300);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i);
  const std::pair<uint32_t, Bytes> values[] = {
      {REG_SZ, sz(std::u16string_view(u"plain \"q\" \\ \u00e9\0", 14))},
      {REG_SZ, sz(u"no terminator")},
      {REG_SZ, sz(std::u16string_view(u"two\0\0", 5))},
      {REG_SZ, sz(std::u16string_view(u"line\nbreak\0", 11))},
      {REG_SZ, Bytes{'a', 0, 'b'}},
      {REG_SZ, {}},
      {REG_EXPAND_SZ, sz(std::u16string_view(u"%PATH%\0", 7))},
      {REG_BINARY, {}},
      {REG_BINARY, many},
      {REG_DWORD, {1, 2, 3, 4}},
      {REG_DWORD, {1, 2}},
      {REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {REG_MULTI_SZ, sz(std::u16string_view(u"a\0b\0\0", 5))},
      {REG_NONE, {}},
      {0xFFFFFFFF, {9}},
  };
  int n = 0;
  for (const auto& [type, data] : values) {
    key.values.push_back(RegFileValue{"v" + std::to_string(n++), false, type, data});
  }
  key.values.push_back(RegFileValue{"", false, REG_SZ, sz(std::u16string_view(u"default\0", 8))});
  key.values.push_back(RegFileValue{"back\\slash \"name\"", false, REG_DWORD, {0, 0, 0, 0}});
  key.values.push_back(RegFileValue{"removed", true, 0, {}});
  RegFileKey removed;
  removed.key = {HKEY_LOCAL_MACHINE, "Old"};
  removed.remove = true;

  const std::string text = RegFile::Format({key, removed});
  EXPECT_EQ(text.find("\r\n[HKEY_USERS\\S-1-22-1-7\\Software\\X]\r\n"), kHead.size() - 2);
  EXPECT_NE(text.find("\"v0\"=\"plain \\\"q\\\" \\\\ \xC3\xA9\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"v9\"=dword:04030201\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"v1\"=hex(1):"), std::string::npos) << "a string without terminator stays exact";
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
  }
  EXPECT_EQ(Describe(ParseOk(RegFile::Encode(text))), Describe({key, removed}));
}

}  // namespace
}  // namespace hvreg
