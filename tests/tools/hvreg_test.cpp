// hvreg as users run it: the real program against a registry folder of its
// own, checked through its output, its exit codes and the registry itself.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/registry_value_format.h"
#include "platform/sid.h"
#include "platform/sqlite_registry.h"
#include "platform/utf.h"
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

std::string HvregPath() {
  const char* build = std::getenv("VELDER_BUILD_DIR");
  return std::string(build ? build : ".") + "/bin/hvreg";
}

class HvregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(HvregPath())) << HvregPath() << " (set VELDER_BUILD_DIR)";
    fs::permissions(dir_.path(), fs::perms(0755));
    registry_dir_ = (dir_.path() / "registry").string();
  }

  // Runs hvreg with `args` (stdin from /dev/null unless `input` is given),
  // as `uid` when given.
  Result Run(const Args& args, std::optional<uid_t> uid = std::nullopt) {
    const fs::path out = dir_.path() / "stdout";
    const fs::path err = dir_.path() / "stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in_fd = ::open("/dev/null", O_RDONLY);
      const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in_fd < 0 || out_fd < 0 || err_fd < 0) ::_exit(120);
      ::dup2(in_fd, 0);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(121);
      ::setenv("HALVERN_REGISTRY_DIR", registry_dir_.c_str(), 1);
      std::vector<char*> argv;
      const std::string program = HvregPath();
      argv.push_back(const_cast<char*>(program.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(122);
    }
    Result result;
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 300 + WTERMSIG(status);
    result.out = testing_support::ReadFile(out);
    result.err = testing_support::ReadFile(err);
    return result;
  }

  // Runs hvreg and expects success.
  Result Ok(const Args& args) {
    Result r = Run(args);
    EXPECT_EQ(r.code, 0) << r.err;
    return r;
  }

  testing_support::TempDir dir_;
  std::string registry_dir_;
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

  Result r = Ok({"query", key});
  EXPECT_EQ(r.out,
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
  r = Ok({"query", "hklm\\software\\halvern\\tool", "/v", "DW"});
  EXPECT_EQ(r.out, "HKEY_LOCAL_MACHINE\\software\\halvern\\tool\n    DW    REG_DWORD    0x2a\n");
  r = Ok({"query", "HKLM\\SOFTWARE", "/s"});
  EXPECT_NE(r.out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Tool\\Sub\\Deeper\n"), std::string::npos);

  // What the tool wrote is what the library reads.
  SqliteRegistry reg(registry_dir_);
  uint64_t q = 0;
  EXPECT_TRUE(reg.GetQword("SOFTWARE\\Halvern\\Tool", "qw", q));
  EXPECT_EQ(q, 0x100000000ull);
  std::vector<std::string> m;
  EXPECT_TRUE(reg.GetMultiString("SOFTWARE\\Halvern\\Tool", "multi", m));
  EXPECT_EQ(m, (std::vector<std::string>{"one", "two"}));

  // The current user's hive is the one of the effective uid.
  Ok({"add", "HKCU\\Software\\Me", "/v", "x", "/d", "y"});
  r = Ok({"query", "HKU"});
  EXPECT_NE(r.out.find("HKEY_USERS\\" + platform::SidForUid(::geteuid()) + "\n"), std::string::npos);
}

TEST_F(HvregTest, ExportThenImportRoundTripsEverything) {
  {
    SqliteRegistry reg(registry_dir_);
    ASSERT_TRUE(reg.CreateKeyPath("SOFTWARE\\Src\\Child\\Grandchild"));
    const std::string k = "SOFTWARE\\Src";
    ASSERT_TRUE(reg.SetString(k, "sz", "text \"with\" \\ and \xC3\xA9"));
    ASSERT_TRUE(reg.SetExpandString(k, "exp", "%TEMP%"));
    ASSERT_TRUE(reg.SetBinary(k, "bin", Bytes(500, 0x5A)));
    ASSERT_TRUE(reg.SetBinary(k, "empty", {}));
    ASSERT_TRUE(reg.SetDword(k, "dw", 0xFFFFFFFF));
    ASSERT_TRUE(reg.SetQword(k, "qw", 1));
    ASSERT_TRUE(reg.SetMultiString("SOFTWARE\\Src\\Child", "multi", {"a", "b"}));
    ASSERT_TRUE(reg.SetRawValue("SOFTWARE\\Src\\Child", "", Bytes{'n', 0, 'o'}, REG_SZ));
    ASSERT_TRUE(reg.SetRawValue("SOFTWARE\\Src\\Child\\Grandchild", "two nuls", Bytes{'x', 0, 0, 0, 0, 0}, REG_SZ));
    ASSERT_TRUE(reg.SetRawValue("SOFTWARE\\Src\\Child\\Grandchild", "none", Bytes{}, REG_NONE));
  }
  const std::string first = (dir_.path() / "first.reg").string();
  const std::string second = (dir_.path() / "second.reg").string();
  Ok({"export", "HKLM\\SOFTWARE\\Src", first});
  Ok({"delete", "HKLM\\SOFTWARE\\Src", "/f"});
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Src"}).code, 1);
  Ok({"import", first});
  Ok({"export", "HKLM\\SOFTWARE\\Src", second});
  EXPECT_EQ(testing_support::ReadFile(first), testing_support::ReadFile(second));

  SqliteRegistry reg(registry_dir_);
  Bytes raw;
  uint32_t type = 0;
  EXPECT_TRUE(reg.GetRawValue("SOFTWARE\\Src\\Child\\Grandchild", "two nuls", raw, type));
  EXPECT_EQ(raw, (Bytes{'x', 0, 0, 0, 0, 0}));
  EXPECT_TRUE(reg.GetRawValue("SOFTWARE\\Src\\Child", "", raw, type));
  EXPECT_EQ(raw, (Bytes{'n', 0, 'o'}));
  std::string s;
  EXPECT_TRUE(reg.GetString("SOFTWARE\\Src", "sz", s));
  EXPECT_EQ(s, "text \"with\" \\ and \xC3\xA9");
  EXPECT_EQ(reg.GetValueType("SOFTWARE\\Src", "exp"), REG_EXPAND_SZ);
  EXPECT_EQ(reg.GetValueType("SOFTWARE\\Src\\Child\\Grandchild", "none"), REG_NONE);

  // The export is a UTF-16LE file with its byte-order mark and the header.
  const std::string bytes = testing_support::ReadFile(first);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(platform::Utf16LeBytesToUtf8(bytes.substr(2, 72)), "Windows Registry Editor Version 5.00");

  // Another root, and another user's hive, through a file in UTF-8.
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
  EXPECT_FALSE(reg.KeyExists("SOFTWARE\\Src\\Child"));
  EXPECT_EQ(reg.GetValueType("SOFTWARE\\Src", "sz"), 0u);
  reg.SetRootKey(HKEY_USERS);
  uint32_t d = 0;
  EXPECT_TRUE(reg.GetDword("S-1-22-1-1234\\Software\\App", "n", d));
  EXPECT_EQ(d, 16u);
}

TEST_F(HvregTest, BadCommandLinesExitWithTwo) {
  struct Case {
    Args args;
    std::string message;
  } cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command"},
      {{"query"}, "takes one operand"},
      {{"query", "HKCR\\x"}, "does not begin with HKLM"},
      {{"query", "HKLM\\a\\\\b"}, "not a valid key name"},
      {{"add", "HKLM\\a", "/v", "x", "/t", "REG_LINK"}, "unknown type"},
      {{"add", "HKLM\\a", "/v", "x", "/t", "REG_DWORD", "/d", "lots"}, "not a 32-bit number"},
      {{"add", "HKLM\\a", "/d", "x"}, "need /v NAME or /ve"},
      {{"delete", "HKLM\\a", "/q"}, "not a switch of delete"},
      {{"add", "HKLM\\A", "/v", "m", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, "empty element"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("hvreg --help"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(registry_dir_)) << "nothing was written";

  const Result help = Run({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("HALVERN_REGISTRY_DIR"), std::string::npos);
  EXPECT_NE(help.out.find("hvreg import FILE"), std::string::npos);
}

TEST_F(HvregTest, FailedOperationsExitWithOneAndChangeNothing) {
  Ok({"add", "HKLM\\A", "/v", "v", "/d", "original"});
  const std::string file = (dir_.path() / "a.reg").string();
  Ok({"export", "HKLM\\A", file});
  struct Case {
    Args args;
    std::string message;
  } cases[] = {
      {{"query", "HKLM\\Missing"}, "cannot open HKEY_LOCAL_MACHINE\\Missing: not found"},
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
      {{"export", "HKLM\\Missing", (dir_.path() / "x.reg").string()}, "not found"},
      {{"export", "HKLM\\A", (dir_.path() / "no" / "dir.reg").string()}, "cannot write"},
      {{"import", (dir_.path() / "none.reg").string()}, "cannot open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "x.reg"));

  // An import with an error anywhere changes nothing at all.
  const fs::path bad = dir_.path() / "bad.reg";
  testing_support::WriteFile(bad,
                             "Windows Registry Editor Version 5.00\n\n"
                             "[HKLM\\A]\n\"v\"=\"replaced\"\n[HKLM\\B]\n\"n\"=dword:xyz\n");
  const Result r = Run({"import", bad.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("line 6"), std::string::npos) << r.err;

  SqliteRegistry reg(registry_dir_);
  std::string s;
  EXPECT_TRUE(reg.GetString("A", "v", s));
  EXPECT_EQ(s, "original");
  EXPECT_FALSE(reg.KeyExists("B"));
  EXPECT_FALSE(reg.KeyExists("Missing"));
  EXPECT_EQ(reg.GetValueType("A", "m"), 0u);

  // A damaged database is a clear failure, not a crash.
  testing_support::WriteFile(fs::path(registry_dir_) / "HKLM.db", "garbage, not a database");
  const Result damaged = Run({"query", "HKLM\\A"});
  EXPECT_EQ(damaged.code, 1);
  EXPECT_NE(damaged.err.find("could not be used"), std::string::npos) << damaged.err;
}

TEST_F(HvregTest, UnprivilegedUserIsDeniedTheMachineHive) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  Ok({"add", "HKLM\\SOFTWARE\\X", "/v", "v", "/d", "root's"});
  constexpr uid_t kNobody = 65534;
  Result r = Run({"query", "HKLM\\SOFTWARE\\X", "/v", "v"}, kNobody);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("root's"), std::string::npos);
  r = Run({"add", "HKLM\\SOFTWARE\\X", "/v", "v", "/d", "mine", "/f"}, kNobody);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("access denied"), std::string::npos) << r.err;
  r = Run({"delete", "HKLM\\SOFTWARE", "/f"}, kNobody);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("access denied"), std::string::npos) << r.err;
  fs::permissions(fs::path(registry_dir_) / "HKLM.db", fs::perms(0600));
  r = Run({"query", "HKLM\\SOFTWARE\\X"}, kNobody);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("access denied"), std::string::npos) << r.err;
}

TEST_F(HvregTest, TwoProgramsWritingAtOnce) {
  Ok({"add", "HKLM\\SOFTWARE\\Both"});
  constexpr int kEach = 12;
  std::vector<pid_t> writers;
  for (int w = 0; w < 2; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
        failures += Run({"add", "HKLM\\SOFTWARE\\Both\\" + name, "/v", "n", "/t", "REG_DWORD", "/d",
                         std::to_string(i)})
                        .code != 0;
        failures += Run({"add", "HKLM\\SOFTWARE\\Both", "/v", name, "/d", name}).code != 0;
      }
      ::_exit(failures);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  SqliteRegistry reg(registry_dir_);
  EXPECT_EQ(reg.GetSubKeyCount("SOFTWARE\\Both"), 2u * kEach);
  EXPECT_EQ(reg.GetValueCount("SOFTWARE\\Both"), 2u * kEach);
}

}  // namespace
