// hvreg's command line, key names and /d data.
#include "hvreg/hvreg_options.h"

#include <gtest/gtest.h>

#include "hvreg/registry_key_name.h"
#include "hvreg/value_text.h"
#include "platform/registry_value_format.h"

namespace hvreg {
namespace {

using Args = std::vector<std::string>;

TEST(HvregOptions, AcceptsTheSwitchesOfEachCommand) {
  HvregOptions o;
  std::string error;
  // Commands and switches in any case, with "/" or "-".
  ASSERT_TRUE(ParseHvregOptions({"ADD", "HKLM\\A", "/V", "n", "-t", "REG_DWORD", "/d", "5", "/F", "/reg:32"}, o,
                                error))
      << error;
  EXPECT_EQ(o.command, "add");
  EXPECT_EQ(o.value_name, "n");
  EXPECT_EQ(o.type, "REG_DWORD");
  EXPECT_TRUE(o.force);
  EXPECT_EQ(o.view, KEY_WOW64_32KEY);
  // /s is the separator of add (the recursion of query: HvregTest.AddAndQueryEveryType).
  ASSERT_TRUE(ParseHvregOptions({"add", "HKLM\\A", "/ve", "/s", ",", "/d", "a,b"}, o, error));
  EXPECT_EQ(o.value_name, "");
  EXPECT_EQ(o.separator, ",");
  EXPECT_FALSE(o.recursive);
  ASSERT_TRUE(ParseHvregOptions({"delete", "HKLM\\A", "/va", "/f"}, o, error));
  EXPECT_TRUE(o.all_values);
  ASSERT_TRUE(ParseHvregOptions({"export", "HKLM\\A", "/tmp/out.reg", "/y"}, o, error));
  EXPECT_TRUE(o.force);
  ASSERT_TRUE(ParseHvregOptions({"import", "--", "/tmp"}, o, error));
  EXPECT_EQ(o.operands, Args{"/tmp"});
  // /v and /d may carry text that looks like a switch.
  ASSERT_TRUE(ParseHvregOptions({"add", "HKLM\\A", "/v", "/f", "/d", "-x"}, o, error));
  EXPECT_EQ(o.value_name, "/f");
  EXPECT_EQ(o.data, "-x");
  EXPECT_FALSE(o.force);
  for (const Args& help : {Args{"--help"}, Args{"/?"}, Args{"help"}, Args{"add", "-h"}}) {
    ASSERT_TRUE(ParseHvregOptions(help, o, error));
    EXPECT_TRUE(o.help);
  }
}

TEST(HvregOptions, RefusesBadCommandLines) {
  struct Case {
    Args args;
    std::string message;
  } cases[] = {
      {{}, "no command"},
      {{"query"}, "takes one operand (KEY), got 0"},
      {{"export", "HKLM\\A"}, "operands (KEY FILE)"},
      {{"query", "HKLM\\A", "/t", "REG_SZ"}, "'/t' is not a switch of query"},
      {{"add", "HKLM\\A", "/v"}, "/v needs a value"},
      {{"add", "HKLM\\A", "/v", "a", "/ve"}, "given twice"},
      {{"add", "HKLM\\A", "/d", "1", "/d", "2"}, "given twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    HvregOptions o;
    std::string error;
    EXPECT_FALSE(ParseHvregOptions(c.args, o, error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(HvregKeyName, RootsAndPaths) {
  const struct {
    const char* text;
    HKEY root;
    const char* path;
  } cases[] = {
      {"hkey_local_machine\\SOFTWARE\\", HKEY_LOCAL_MACHINE, "SOFTWARE"},
      {"HKCU", HKEY_CURRENT_USER, ""},
      {"HKLM\\", HKEY_LOCAL_MACHINE, ""},
      {"HKEY_USERS\\S-1-5-18", HKEY_USERS, "S-1-5-18"},
  };
  RegistryKeyName name;
  std::string error;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(ParseRegistryKeyName(c.text, name, error)) << error;
    EXPECT_EQ(name.root, c.root);
    EXPECT_EQ(name.path, c.path);
  }
  for (const char* bad : {"HKCR\\x", "HKLMX\\x", "", "HKLM\\\\x", "HKLM\\a\\\\"}) {
    EXPECT_FALSE(ParseRegistryKeyName(bad, name, error)) << bad;
  }
}

TEST(HvregValueText, DataByType) {
  struct Case {
    uint32_t type;
    const char* text;
    bool ok;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {REG_DWORD, "4294967295", true, {255, 255, 255, 255}},
      {REG_DWORD, "4294967296", false, {}},
      {REG_DWORD, "-1", false, {}},
      {REG_DWORD, "12abc", false, {}},
      {REG_DWORD, "0x", false, {}},
      {REG_DWORD, "", true, {0, 0, 0, 0}},
      {REG_QWORD, "0xffffffffffffffff", true, {255, 255, 255, 255, 255, 255, 255, 255}},
      {REG_QWORD, "18446744073709551616", false, {}},
      {REG_BINARY, "", true, {}},
      {REG_BINARY, "abc", false, {}},
      {REG_BINARY, "zz", false, {}},
      {REG_SZ, "", true, {0, 0}},
      {REG_SZ, "\xC3(", false, {}},
      {REG_MULTI_SZ, "", true, {0, 0, 0, 0}},
      {REG_MULTI_SZ, "a\\0\\0b", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + c.text);
    std::vector<uint8_t> data;
    std::string error;
    EXPECT_EQ(ParseValueData(c.type, c.text, "\\0", data, error), c.ok);
    if (c.ok) {
      EXPECT_EQ(data, c.bytes);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_EQ(ParseTypeName("reg_expand_sz"), REG_EXPAND_SZ);
  EXPECT_EQ(TypeName(0x99), "0x99");
  EXPECT_EQ(DisplayValueData(REG_DWORD, {42, 0}), "2A00") << "a broken DWORD shows its bytes";
}

}  // namespace
}  // namespace hvreg
