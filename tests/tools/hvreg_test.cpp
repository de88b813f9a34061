// hvreg as users run it: the real program against a registry folder of its
// own, checked through its output, its exit codes and the registry itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/registry_database.h"
#include "platform/registry_value_format.h"
#include "platform/sid.h"
#include "platform/sqlite_registry.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

struct Case {
  Args args;
  std::string message;
};

class HvregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(testing_support::BuildProgram("hvreg"))) << "set VELDER_BUILD_DIR";
    fs::permissions(dir_.path(), fs::perms(0755));
  }

  // Runs hvreg with `args`, as `uid` when given.
  Result Run(const Args& args, std::optional<uid_t> uid = std::nullopt) {
    Args argv;
    if (uid) {
      const std::string id = std::to_string(*uid);
      argv = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
    argv.push_back(testing_support::BuildProgram("hvreg"));
    argv.insert(argv.end(), args.begin(), args.end());
    testing_support::ChildProcess child(argv, {"HALVERN_REGISTRY_DIR=" + registry_dir_});
    const int code = child.Wait();
    return {code, child.out(), child.err()};
  }
  Result Ok(const Args& args) {
    Result r = Run(args);
    EXPECT_EQ(r.code, 0) << r.err;
    return r;
  }
  void ExpectFailures(const std::vector<Case>& cases, int code) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.message);
      const Result r = Run(c.args);
      EXPECT_EQ(r.code, code);
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
  }

  testing_support::TempDir dir_;
  const std::string registry_dir_ = dir_.File("registry");
};

TEST_F(HvregTest, AddAndQueryEveryType) {
  const std::string key = "HKLM\\SOFTWARE\\Halvern\\Tool";
  Ok({"add", key, "/v", "sz", "/d", "C:\\path \"q\""});
  Ok({"add", key, "/v", "exp", "/t", "REG_EXPAND_SZ", "/d", "%HOME%/x"});
  Ok({"add", key, "/v", "bin", "/t", "REG_BINARY", "/d", "00ff7f"});
  Ok({"add", key, "/v", "dw", "/t", "REG_DWORD", "/d", "42"});
  Ok({"add", key, "/v", "qw", "/t", "REG_QWORD", "/d", "0x100000000"});
  Ok({"add", key, "/v", "multi", "/t", "REG_MULTI_SZ", "/d", "one\\0two"});
  Ok({"add", key, "/ve", "/d", "default"});
  Ok({"add", key + "\\Sub\\Deeper"});

  EXPECT_EQ(Ok({"query", key}).out,
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tool\n"
            "    sz    REG_SZ    C:\\path \"q\"\n"
            "    exp    REG_EXPAND_SZ    %HOME%/x\n"
            "    bin    REG_BINARY    00FF7F\n"
            "    dw    REG_DWORD    0x2a\n"
            "    qw    REG_QWORD    0x100000000\n"
            "    multi    REG_MULTI_SZ    one\\0two\n"
            "    (Default)    REG_SZ    default\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tool\\Sub\n");
  EXPECT_EQ(Ok({"query", "hklm\\software\\halvern\\tool", "/v", "DW"}).out,
            "HKEY_LOCAL_MACHINE\\software\\halvern\\tool\n    DW    REG_DWORD    0x2a\n");
  EXPECT_NE(Ok({"query", "HKLM\\SOFTWARE", "/s"}).out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tool\\Sub\\Deeper\n"),
            std::string::npos);

  // The current user's hive is the one of the effective uid.
  Ok({"add", "HKCU\\Software\\Me", "/v", "x", "/d", "y"});
  EXPECT_NE(Ok({"query", "HKU"}).out.find("HKEY_USERS\\" + platform::SidForUid(::geteuid()) + "\n"),
            std::string::npos);
}

TEST_F(HvregTest, ExportThenImportRoundTripsEverything) {
  const std::string k = "SOFTWARE\\Src", child = k + "\\Child", grandchild = child + "\\Grandchild";
  {
    SqliteRegistry reg(registry_dir_);
    ASSERT_TRUE(reg.CreateKeyPath(grandchild));
    ASSERT_TRUE(reg.SetString(k, "sz", "text \"with\" \\ and \xC3\xA9"));
    ASSERT_TRUE(reg.SetRawValue(child, "", Bytes{'n', 0, 'o'}, REG_SZ));
    ASSERT_TRUE(reg.SetRawValue(grandchild, "two nuls", Bytes{'x', 0, 0, 0, 0, 0}, REG_SZ));
    ASSERT_TRUE(reg.SetRawValue(grandchild, "none", Bytes{}, REG_NONE));
  }
  const std::string first = dir_.File("first.reg"), second = dir_.File("second.reg");
  Ok({"export", "HKLM\\SOFTWARE\\Src", first});
  Ok({"delete", "HKLM\\SOFTWARE\\Src", "/f"});
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Src"}).code, 1);
  Ok({"import", first});
  Ok({"export", "HKLM\\SOFTWARE\\Src", second});
  EXPECT_EQ(testing_support::ReadFile(first), testing_support::ReadFile(second));

  SqliteRegistry reg(registry_dir_);
  Bytes raw;
  uint32_t type = 0;
  EXPECT_TRUE(reg.GetRawValue(grandchild, "two nuls", raw, type));
  EXPECT_EQ(raw, (Bytes{'x', 0, 0, 0, 0, 0}));
  EXPECT_EQ(reg.GetValueType(grandchild, "none"), REG_NONE);

  // Exports are UTF-16LE with a byte-order mark, as other registry tools expect (the rest read back above).
  EXPECT_EQ(testing_support::ReadFile(first).substr(0, 2), "\xFF\xFE");

  // Another root, another user's hive and removals, through a file in UTF-8.
  const fs::path file = dir_.path() / "users.reg";
  testing_support::WriteFile(file,
                             "Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_USERS\\S-1-22-1-1234\\Software\\App]\n"
                             "\"n\"=dword:00000010\n"
                             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Src\\Child]\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Src]\n"
                             "\"sz\"=-\n"
                             "\"missing\"=-\n"
                             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverWas]\n");
  Ok({"import", file.string()});
  EXPECT_FALSE(reg.KeyExists(child));
  EXPECT_EQ(reg.GetValueType(k, "sz"), 0u);
  reg.SetRootKey(HKEY_USERS);
  uint32_t d = 0;
  EXPECT_TRUE(reg.GetDword("S-1-22-1-1234\\Software\\App", "n", d));
  EXPECT_EQ(d, 16u);
}

// Which command lines are refused is the options' unit test; here the exit
// code, the hint and that nothing was written.
TEST_F(HvregTest, BadCommandLinesExitWithTwoAndWriteNothing) {
  ExpectFailures({{{"frobnicate"}, "unknown command"},
                  {{"add", "HKLM\\a", "/v", "x", "/t", "REG_LINK"}, "unknown type"},
                  {{"add", "HKLM\\a", "/v", "x", "/t", "REG_DWORD", "/d", "lots"}, "not a 32-bit number"},
                  {{"add", "HKLM\\a", "/d", "x"}, "need /v NAME or /ve"}},
                 2);
  EXPECT_NE(Run({"frobnicate"}).err.find("hvreg --help"), std::string::npos);
  EXPECT_FALSE(fs::exists(registry_dir_));

  const Result help = Run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("HALVERN_REGISTRY_DIR"), std::string::npos);
}

TEST_F(HvregTest, FailedOperationsExitWithOneAndChangeNothing) {
  Ok({"add", "HKLM\\A", "/v", "v", "/d", "original"});
  const std::string file = dir_.File("a.reg");
  Ok({"export", "HKLM\\A", file});
  ExpectFailures({{{"query", "HKLM\\Missing"}, "cannot open HKEY_LOCAL_MACHINE\\Missing: not found"},
                  {{"query", "HKLM\\A", "/v", "nope"}, "cannot read value 'nope'"},
                  {{"add", "HKLM\\A", "/v", "v", "/d", "new"}, "exists; add /f to overwrite"},
                  {{"delete", "HKLM\\A"}, "without /f"},
                  {{"delete", "HKLM\\A", "/v", "v"}, "without /f"},
                  {{"delete", "HKLM\\A", "/v", "nope", "/f"}, "not found"},
                  {{"delete", "HKLM", "/f"}, "will not delete the root"},
                  {{"delete", "HKU\\S-1-5-18", "/f"}, "refused"},
                  {{"add", "HKU\\NotASid"}, "refused"},
                  {{"add", "HKU", "/v", "x", "/d", "y"}, "refused"},
                  {{"export", "HKLM\\A", file}, "exists; add /y"},
                  {{"export", "HKLM\\Missing", dir_.File("x.reg")}, "not found"},
                  {{"export", "HKLM\\A", dir_.File("no/dir.reg")}, "cannot write"},
                  {{"import", dir_.File("none.reg")}, "cannot open"}},
                 1);
  EXPECT_FALSE(fs::exists(dir_.path() / "x.reg"));

  // An import with an error anywhere changes nothing at all.
  const fs::path bad = dir_.path() / "bad.reg";
  testing_support::WriteFile(bad,
                             "Windows Registry Editor Version 5.00\n\n"
                             "[HKLM\\A]\n\"v\"=\"replaced\"\n[HKLM\\B]\n\"n\"=dword:xyz\n");
  ExpectFailures({{{"import", bad.string()}, "line 6"}}, 1);
  EXPECT_EQ(Ok({"query", "HKLM\\A", "/v", "v"}).out, "HKEY_LOCAL_MACHINE\\A\n    v    REG_SZ    original\n");
  EXPECT_EQ(Run({"query", "HKLM\\B"}).code, 1);

  testing_support::WriteFile(fs::path(registry_dir_) / "HKLM.db", "garbage, not a database");
  ExpectFailures({{{"query", "HKLM\\A"}, "could not be used"}}, 1);
}

TEST_F(HvregTest, SecretsMoveIntoARootOnlyFileAndOtherUsersAreDenied) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
  const std::string token = "bearer-7f3a9c";
  const std::string tokens = "SOFTWARE\\Halvern\\QOR\\ClientAuth\\Tokens";
  const fs::path machine = fs::path(registry_dir_) / "HKLM.db";
  {
    // A machine file written before secrets had a file of their own.
    std::unique_ptr<platform::RegistryDatabase> db;
    ASSERT_EQ(platform::RegistryDatabase::Open(machine, platform::RegistryDatabase::Mode::kCreate, db),
              RegistryError::Ok);
    platform::RegistryBytes data;
    ASSERT_TRUE(platform::EncodeRegistryString(token, data));
    ASSERT_EQ(db->Begin(), RegistryError::Ok);
    EXPECT_EQ(db->CreateKey({"SOFTWARE", "Halvern", "QOR", "ClientAuth", "Tokens"}), RegistryError::Ok);
    EXPECT_EQ(db->CreateKey({"SOFTWARE", "Halvern", "QOR", "Logging"}), RegistryError::Ok);
    EXPECT_EQ(db->WriteValue(tokens, "S-1-22-1-1000", REG_SZ, data), RegistryError::Ok);
    ASSERT_EQ(db->End(RegistryError::Ok), RegistryError::Ok);
  }
  // Root's first use moves them; nothing is lost.
  EXPECT_NE(Ok({"query", "HKLM\\" + tokens}).out.find(token), std::string::npos);
  Ok({"add", "HKLM\\SOFTWARE\\Halvern\\QOR\\ClientAuth", "/v", "EnrolmentSecret", "/d", "enrol-51d2"});
  const fs::path secrets = fs::path(registry_dir_) / "protected" / "HKLM.db";
  EXPECT_EQ(fs::status(secrets.parent_path()).permissions(), fs::perms(0700));
  EXPECT_EQ(fs::status(secrets).permissions(), fs::perms(0600));
  const std::string readable = testing_support::ReadFile(machine);
  for (const std::string& secret : {token, std::string("enrol-51d2")}) {
    std::string utf16;
    for (char c : secret) utf16 += std::string{c, '\0'};
    EXPECT_EQ(readable.find(utf16), std::string::npos) << secret << " is still in the readable file";
  }
  EXPECT_NE(Ok({"query", "HKLM\\SOFTWARE\\Halvern\\QOR"}).out.find("QOR\\ClientAuth\n"), std::string::npos);

  constexpr uid_t kNobody = 65534;
  for (const Args& args : {Args{"query", "HKLM\\" + tokens},
                           Args{"query", "hklm\\software\\halvern\\qor\\clientauth", "/v", "EnrolmentSecret"}}) {
    SCOPED_TRACE(args[1]);
    const Result r = Run(args, kNobody);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("access denied"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find(token), std::string::npos);
  }
  // Everything else of the machine stays readable.
  const Result listed = Run({"query", "HKLM\\SOFTWARE\\Halvern\\QOR", "/s"}, kNobody);
  EXPECT_EQ(listed.code, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\QOR\n\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\QOR\\Logging\n\n");

  // Root deletes the whole tree, protected part included.
  Ok({"delete", "HKLM\\SOFTWARE\\Halvern\\QOR", "/f"});
  SqliteRegistry reg(registry_dir_);
  EXPECT_FALSE(reg.KeyExists("SOFTWARE\\Halvern\\QOR\\ClientAuth"));
}

}  // namespace
