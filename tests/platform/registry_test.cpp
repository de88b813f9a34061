// Behaviour of the registry through its interface: types, strings and their
// NULs, enumeration, keys, copies and trees, roots and paths.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/sid.h"
#include "platform/sqlite_registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using E = RegistryError;

Bytes Utf16(std::u16string_view units) {
  Bytes bytes;
  for (char16_t u : units) {
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return bytes;
}

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() : reg_(dir_.path().string()) {}

  // The error the call just made left behind (every call sets it).
  template <class T>
  E ErrorOf(const T&) const {
    return reg_.GetLastError();
  }

  testing_support::TempDir dir_;
  SqliteRegistry reg_;
};

TEST_F(RegistryTest, ReadersRefuseOtherTypes) {
  const std::string k = "K";
  ASSERT_TRUE(reg_.CreateKeyPath(k));
  ASSERT_TRUE(reg_.SetDword(k, "dword", 7));
  ASSERT_TRUE(reg_.SetString(k, "sz", "text"));
  ASSERT_TRUE(reg_.SetMultiString(k, "multi", {"x"}));

  RegistryError e = E::Ok;
  std::string s = "previous";
  EXPECT_FALSE(reg_.GetString(k, "dword", s, &e));
  EXPECT_EQ(e, E::WrongType);
  EXPECT_EQ(s, "") << "a failed string read empties the result";
  Bytes b;
  Strings m;
  EXPECT_EQ((std::vector<E>{ErrorOf(reg_.GetString(k, "multi", s)), ErrorOf(reg_.GetBinary(k, "sz", b)),
                            ErrorOf(reg_.GetMultiString(k, "sz", m))}),
            std::vector<E>(3, E::WrongType));
}

TEST_F(RegistryTest, StringsAndTheirTrailingNuls) {
  ASSERT_TRUE(reg_.CreateKeyPath("K"));
  struct Case {
    const char* name;
    Bytes stored;
    std::string expected;
  } cases[] = {
      {"terminated", Utf16(std::u16string(u"abc\0", 4)), "abc"},
      {"unterminated", Utf16(u"abc"), "abc"},
      {"two nuls", Utf16(std::u16string(u"abc\0\0", 5)), std::string("abc\0", 4)},
      {"inner nul", Utf16(std::u16string(u"a\0b\0", 4)), std::string("a\0b", 3)},
      {"empty", Utf16(std::u16string(u"\0", 1)), ""},
      {"zero bytes", {}, ""},
      {"odd trailing byte", Bytes{'a', 0, 'b'}, "a"},
  };
  std::string s;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(reg_.SetRawValue("K", c.name, c.stored, REG_SZ));
    s = "junk";
    EXPECT_TRUE(reg_.GetString("K", c.name, s));
    EXPECT_EQ(s, c.expected);
  }
  // Stored units that are not UTF-16 have no UTF-8 form.
  ASSERT_TRUE(reg_.SetRawValue("K", "surrogate", Utf16(u"a\xD800"), REG_SZ));
  EXPECT_EQ(ErrorOf(reg_.GetString("K", "surrogate", s)), E::Failed);
}

TEST_F(RegistryTest, MultiStrings) {
  ASSERT_TRUE(reg_.CreateKeyPath("K"));
  struct Case {
    const char* name;
    std::u16string stored;
    Strings expected;
  } cases[] = {
      {"zero length", u"", {}},
      {"stops at double nul", std::u16string(u"a\0b\0\0c\0\0", 8), {"a", "b"}},
      {"no final nul", std::u16string(u"a\0bc", 4), {"a"}},
      {"single terminator", std::u16string(u"a\0", 2), {"a"}},
      {"leading nul", std::u16string(u"\0a\0\0", 4), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(reg_.SetRawValue("K", c.name, Utf16(c.stored), REG_MULTI_SZ));
    Strings got = {"stale"};
    EXPECT_TRUE(reg_.GetMultiString("K", c.name, got));
    EXPECT_EQ(got, c.expected);
  }
}

TEST_F(RegistryTest, BinaryAndMissingThings) {
  ASSERT_TRUE(reg_.CreateKeyPath("K"));
  ASSERT_TRUE(reg_.SetBinary("K", "empty", {}));
  Bytes b = {9};
  EXPECT_TRUE(reg_.GetBinary("K", "empty", b));
  EXPECT_TRUE(b.empty());
  Bytes big(3 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(reg_.SetBinary("K", "big", big));
  EXPECT_TRUE(reg_.GetBinary("K", "big", b));
  EXPECT_EQ(b, big);

  std::string s;
  // Setters never create the key.
  EXPECT_EQ((std::vector<E>{ErrorOf(reg_.GetString("K", "missing", s)), ErrorOf(reg_.GetString("K\\Missing", "x", s)),
                            ErrorOf(reg_.SetString("K\\Missing", "x", "v")), ErrorOf(reg_.KeyExists("K\\Missing")),
                            ErrorOf(reg_.DeleteValue("K", "missing")), ErrorOf(reg_.DeleteValue("K\\Missing", "x")),
                            ErrorOf(reg_.GetValueType("K", "missing"))}),
            std::vector<E>(7, E::NotFound));
  EXPECT_EQ(ErrorOf(reg_.GetBinary("K", "empty", b)), E::Ok) << "success resets the last error";

  ASSERT_TRUE(reg_.DeleteValue("K", "big"));
  EXPECT_EQ(ErrorOf(reg_.GetBinary("K", "big", b)), E::NotFound);
}

TEST_F(RegistryTest, NamesIgnoreCaseButKeepIt) {
  ASSERT_TRUE(reg_.CreateKeyPath("Software\\MixedCase"));
  ASSERT_TRUE(reg_.CreateKeyPath("software\\MIXEDCASE\\Child"));
  ASSERT_TRUE(reg_.SetString("SOFTWARE\\MIXEDCASE", "Value", "1"));
  ASSERT_TRUE(reg_.SetString("software\\mixedcase", "VALUE", "2"));
  Strings names;
  EXPECT_EQ(reg_.EnumValues("Software\\MixedCase", names), 1u);
  EXPECT_EQ(names, Strings{"Value"}) << "the first spelling stays";
  std::string s;
  EXPECT_TRUE(reg_.GetString("SoftWare\\MixedCase", "value", s));
  EXPECT_EQ(s, "2");
  EXPECT_EQ(reg_.EnumSubKeys("software", names), 1u);
  EXPECT_EQ(names, Strings{"MixedCase"});
  // Only ASCII letters fold; other letters compare as they are.
  ASSERT_TRUE(reg_.CreateKeyPath("\xC3\x89t\xC3\xA9"));
  EXPECT_FALSE(reg_.KeyExists("\xC3\xA9T\xC3\xA9"));
}

TEST_F(RegistryTest, EnumerationOrder) {
  for (const std::string name : {"beta", "Alpha", "gamma", "ALPHA2", "delta"}) {
    ASSERT_TRUE(reg_.CreateKeyPath("K\\" + name));
  }
  Strings names = {"stale"};
  EXPECT_EQ(reg_.EnumSubKeys("K", names), 5u);
  EXPECT_EQ(names, (Strings{"Alpha", "ALPHA2", "beta", "delta", "gamma"}));

  // Values come in the order they were first written; rewriting keeps the place.
  for (const char* name : {"z", "a", "m"}) ASSERT_TRUE(reg_.SetDword("K", name, 1));
  ASSERT_TRUE(reg_.SetString("K", "z", "again"));
  EXPECT_EQ(reg_.EnumValues("K", names), 3u);
  EXPECT_EQ(names, (Strings{"z", "a", "m"}));

  // A key without subkeys or values succeeds with nothing; a missing key
  // fails and empties the list.
  ASSERT_TRUE(reg_.CreateKeyPath("K\\leaf"));
  for (const auto& [key, error] : {std::pair{"K\\leaf", E::Ok}, std::pair{"K\\none", E::NotFound}}) {
    SCOPED_TRACE(key);
    Strings values = {"stale"};
    names = {"stale"};
    EXPECT_EQ((std::vector<E>{ErrorOf(reg_.EnumSubKeys(key, names)), ErrorOf(reg_.EnumValues(key, values))}),
              std::vector<E>(2, error));
    EXPECT_EQ(names.size() + values.size(), 0u);
  }
}

TEST_F(RegistryTest, KeyPathsAndNames) {
  struct Case {
    const char* path;
    RegistryError expected;
  } cases[] = {
      {"A\\B", E::Ok},
      {"A\\B\\", E::Ok},  // one trailing backslash is ignored
      {"\\A", E::InvalidArgument},
      {"A\\B\\\\", E::InvalidArgument},
      {"\\", E::Ok},  // the root, written with its trailing backslash
      {"A\xFF", E::InvalidArgument},
  };
  ASSERT_TRUE(reg_.CreateKeyPath("A\\B"));
  for (const Case& c : cases) {
    Strings names;
    EXPECT_EQ(ErrorOf(reg_.EnumValues(c.path, names)), c.expected) << c.path;
  }
  EXPECT_EQ(ErrorOf(reg_.CreateKeyPath(std::string("A\\x\0y", 5))), E::InvalidArgument);
  EXPECT_TRUE(reg_.CreateKeyPath("A\\" + std::string(255, 'k')));
  EXPECT_EQ(ErrorOf(reg_.CreateKeyPath("A\\" + std::string(256, 'k'))), E::InvalidArgument);
  std::string deep = "D";
  for (int i = 1; i < 512; ++i) deep += "\\D";
  EXPECT_TRUE(reg_.CreateKeyPath(deep));
  EXPECT_EQ(ErrorOf(reg_.CreateKeyPath(deep + "\\D")), E::InvalidArgument);
  EXPECT_TRUE(reg_.CreateKeyPath("D")) << "an existing key is success";
  EXPECT_TRUE(reg_.CreateKeyPath(""));
  EXPECT_EQ(ErrorOf(reg_.CreateKeyPath("SOFTWARE\\A\\")), E::InvalidArgument);

  // Value names: any text, backslashes included; limits on length and NULs.
  EXPECT_TRUE(reg_.SetDword("A", "with\\backslash", 1));
  EXPECT_TRUE(reg_.SetDword("A", std::string(16383, 'v'), 1));
  EXPECT_EQ(ErrorOf(reg_.SetDword("A", std::string(16384, 'v'), 1)), E::InvalidArgument);
  EXPECT_EQ(ErrorOf(reg_.SetDword("A", std::string("a\0b", 3), 1)), E::InvalidArgument);
  // The empty name is the key's default value.
  EXPECT_TRUE(reg_.SetString("A", "", "default"));
  std::string s;
  EXPECT_TRUE(reg_.GetString("A\\", "", s));
  EXPECT_EQ(s, "default");
}

TEST_F(RegistryTest, DeleteKeyTree) {
  for (const char* key : {"T\\X\\A\\A1", "T\\X\\A\\A2", "T\\X\\B", "T\\XY"}) ASSERT_TRUE(reg_.CreateKeyPath(key));
  ASSERT_TRUE(reg_.SetString("T\\X\\A\\A1", "v", "1"));
  ASSERT_TRUE(reg_.SetString("T\\X", "v", "1"));
  EXPECT_TRUE(reg_.DeleteKeyTree("t", "x"));
  EXPECT_FALSE(reg_.KeyExists("T\\X"));
  EXPECT_TRUE(reg_.KeyExists("T\\XY")) << "a sibling sharing the prefix stays";
  ASSERT_TRUE(reg_.CreateKeyPath("T\\X"));
  EXPECT_EQ(reg_.GetValueType("T\\X", "v"), 0u) << "a deleted key takes its values along";

  EXPECT_TRUE(reg_.DeleteKeyTree("T", "XY")) << "a key without subkeys";
  EXPECT_EQ(ErrorOf(reg_.DeleteKeyTree("T", "XY")), E::NotFound);
  EXPECT_EQ(ErrorOf(reg_.DeleteKeyTree("T", "")), E::InvalidArgument);
  EXPECT_TRUE(reg_.KeyExists("T"));
}

TEST_F(RegistryTest, RootsAndHives) {
  const std::string me = platform::SidForUid(::geteuid());
  // Nothing exists yet: the machine and current-user roots are empty but
  // present, and reading them creates no file.
  Strings names = {"stale"};
  EXPECT_EQ(reg_.EnumSubKeys("", names), 0u);
  EXPECT_EQ(reg_.GetLastError(), E::Ok);
  std::string s;
  EXPECT_EQ(ErrorOf(reg_.GetString("", "x", s)), E::NotFound);
  reg_.SetRootKey(HKEY_CURRENT_USER);
  EXPECT_EQ(reg_.EnumSubKeys("", names), 0u);
  EXPECT_EQ(reg_.GetLastError(), E::Ok);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));

  // The current user is the hive of the effective uid under HKEY_USERS.
  ASSERT_TRUE(reg_.CreateKeyPath("Software\\App"));
  ASSERT_TRUE(reg_.SetString("Software\\App", "who", "me"));
  reg_.SetRootKey(HKEY_USERS);
  EXPECT_TRUE(reg_.GetString(me + "\\software\\app", "who", s));
  EXPECT_EQ(s, "me");
  std::string lower = me;
  lower[0] = 's';
  EXPECT_TRUE(reg_.KeyExists(lower + "\\Software")) << "the SID's letter in either case";
  ASSERT_TRUE(reg_.CreateKeyPath("S-1-22-01-0004242\\Software"));
  EXPECT_TRUE(reg_.KeyExists("S-1-22-1-4242\\Software")) << "one hive, however the numbers are written";

  // Other users' hives are addressed by SID and listed at the top.
  ASSERT_TRUE(reg_.SetDword("S-1-22-1-4242\\Software", "n", 1));
  EXPECT_EQ(reg_.EnumSubKeys("", names), 2u);
  EXPECT_NE(std::find(names.begin(), names.end(), "S-1-22-1-4242"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), me), names.end());
  EXPECT_FALSE(reg_.KeyExists("S-1-22-1-999"));
  EXPECT_EQ(ErrorOf(reg_.GetString("S-1-22-1-999\\Software", "x", s)), E::NotFound);
  EXPECT_FALSE(reg_.KeyExists("NotASid"));
  EXPECT_TRUE(reg_.DeleteKeyTree("S-1-22-1-4242", "Software"));

  // The machine root is a separate database; the view flags do not redirect.
  reg_.SetRootKey(HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(reg_.KeyExists("Software\\App"));
  ASSERT_TRUE(reg_.CreateKeyPath("SOFTWARE\\Halvern"));
  ASSERT_TRUE(reg_.SetString("SOFTWARE\\Halvern", "v", "machine"));
  for (uint32_t view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    SqliteRegistry other(dir_.path().string());
    other.SetView(view);
    EXPECT_TRUE(other.GetString("SOFTWARE\\Halvern", "v", s)) << view;
    EXPECT_EQ(s, "machine");
  }
  EXPECT_TRUE(reg_.SetDword("", "rootvalue", 3)) << "the machine root itself can hold values";
  EXPECT_EQ(reg_.GetValueType("\\", "rootvalue"), REG_DWORD);
}

// A named folder is what every test's own registry folder goes through.
TEST(RegistryDirectory, DefaultWhenTheEnvironmentNamesNone) {
  testing_support::ScopedEnv env("HALVERN_REGISTRY_DIR", "");
  EXPECT_EQ(SqliteRegistry::DefaultDirectory(), "/var/lib/halvern/registry");
  env.Unset("HALVERN_REGISTRY_DIR");
  EXPECT_EQ(SqliteRegistry::DefaultDirectory(), "/var/lib/halvern/registry");
}

}  // namespace
