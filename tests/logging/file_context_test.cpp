#include "logging/file_context.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "logging/log.h"
#include "logging/log_file_lock.h"
#include "logging/log_test_support.h"
#include "support/forked_child.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace HvQorLogging {
namespace {

namespace fs = std::filesystem;
using logging_test::kLoggingKey;
using logging_test::LogTestEnvironment;
using logging_test::ReadLines;
using testing_support::ReadFile;
using testing_support::WriteFile;

const std::string kShellFolders = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::unique_ptr<FileContext> MakeContext(const std::string& identity, uint32_t options = 0, int level = 4) {
  return std::make_unique<FileContext>(std::make_unique<FileSystem::Path>(), identity, "QOR", "VelderPlugin", level,
                                       options);
}

using testing_support::ModeOf;

// A line of exactly `size` bytes, "\r\n" included.
std::string LineOf(const std::string& text, size_t size) {
  std::string line = text;
  line.resize(size - 2, '.');
  return line + "\r\n";
}

TEST(FileContext, DirectoryByIdentity) {
  LogTestEnvironment env;
  env.SetString(HKEY_LOCAL_MACHINE, kLoggingKey, "RootPath", env.logs() + "//");  // slashes are trimmed
  const mode_t old_mask = ::umask(077);  // an administrator's modes must not depend on it
  const std::pair<const char*, const char*> cases[] = {
      {"", "/Halvern/Log/QOR"},
      {"default", "/Halvern/Log/QOR"},
      {"kv_default", "/Halvern/Log/QOR"},
      {"mbt_default", "/Halvern/Log/QOR"},
      {"Default", "/Halvern/NS/Default/Log/QOR"},  // compared exactly
      {"default ", "/Halvern/NS/default /Log/QOR"},
  };
  for (const auto& [identity, subdirectory] : cases) {
    SCOPED_TRACE(identity);
    auto context = MakeContext(identity);
    ASSERT_TRUE(context->Open());
    const std::string directory = env.logs() + subdirectory;
    EXPECT_EQ(context->GetLockName(), directory + "/VelderPlugin.lock");
    context->AppendLine("x\r\n");
    EXPECT_EQ(ReadFile(directory + "/VelderPlugin.log"), "x\r\n");
    if (::geteuid() == 0) {
      EXPECT_EQ(ModeOf(env.logs() + "/Halvern") + ModeOf(directory), 0755u * 2);
      EXPECT_EQ(ModeOf(directory + "/VelderPlugin.log"), 0644u);
      EXPECT_EQ(ModeOf(context->GetLockName()), 0600u);
    }
    fs::remove_all(env.logs() + "/Halvern");
  }
  ::umask(old_mask);
}

// The identity is a caller's text (velder-update --identity); framework and
// component are the product's constants.
TEST(FileContext, IdentitiesThatWouldLeaveTheDirectoryGiveNoLogFile) {
  LogTestEnvironment env;
  for (const std::string& identity : {std::string(".."), std::string("."), std::string("a/../../x"),
                                      std::string("id\0x", 4)}) {
    SCOPED_TRACE(identity);
    auto context = MakeContext(identity);
    EXPECT_FALSE(context->Open());
    context->AppendLine("x\r\n");
  }
  EXPECT_TRUE(fs::is_empty(env.logs()));  // each of them would stay below the root
}

TEST(FileContext, LogRootOfAnAdministrator) {
  LogTestEnvironment env;
  auto registry = env.Registry(HKEY_LOCAL_MACHINE);
  const auto root = [&] { return FileContextBase::LogRoot(FileContextBase::RootKind::kAdministrator, *registry); };
  env.SetString(HKEY_LOCAL_MACHINE, kShellFolders, "Common AppData", "/srv/common");
  const struct { const char* title; std::function<bool()> set; std::string expected; } cases[] = {
      {"absolute", [&] { return registry->SetString(kLoggingKey, "RootPath", "/opt/logs/"); }, "/opt/logs/"},
      {"relative", [&] { return registry->SetString(kLoggingKey, "RootPath", "logs"); }, "/srv/common"},
      {"another type", [&] { return registry->SetDword(kLoggingKey, "RootPath", 7); }, "/srv/common"},
      {"expandable", [&] { return registry->SetExpandString(kLoggingKey, "RootPath", "/var/$USER"); }, "/var/$USER"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    registry->DeleteValue(kLoggingKey, "RootPath");
    ASSERT_TRUE(c.set());
    EXPECT_EQ(root(), c.expected);
  }
  env.Delete(HKEY_LOCAL_MACHINE, kLoggingKey, "RootPath");
  env.Delete(HKEY_LOCAL_MACHINE, kShellFolders, "Common AppData");
  // The current user's values are not an administrator's.
  env.SetString(HKEY_CURRENT_USER, kLoggingKey, "RootPath", "/home/x");
  EXPECT_EQ(root(), "/var/log");
}

TEST(FileContext, LogRootOfOtherUsers) {
  LogTestEnvironment env;
  auto registry = env.Registry(HKEY_CURRENT_USER);
  testing_support::ScopedEnv vars("HOME", "/home/someone");
  const auto root = [&] { return FileContextBase::LogRoot(FileContextBase::RootKind::kUser, *registry); };
  vars.Set("XDG_STATE_HOME", "relative/state");
  EXPECT_EQ(root(), "/home/someone/.local/state");
  vars.Set("XDG_STATE_HOME", "/state");
  EXPECT_EQ(root(), "/state");
  env.SetString(HKEY_CURRENT_USER, kShellFolders, "Local AppData", "/home/someone/appdata");
  EXPECT_EQ(root(), "/home/someone/appdata");
  env.SetString(HKEY_CURRENT_USER, kLoggingKey, "RootPath", "/home/someone/logs");
  EXPECT_EQ(root(), "/home/someone/logs");
}

// A process that is not an administrator logs below its own state
// directory, with modes its umask narrows and no SID in the name; a fresh
// account without ~/.local/state gets it made.
TEST(FileContext, OtherUsersLogBelowTheirStateDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  LogTestEnvironment env;
  using testing_support::kNobody;
  const std::string home = env.temp().File("home"), state = home + "/.local/state";
  fs::create_directory(home);
  ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
  ::chmod(env.temp().path().c_str(), 0711);  // let the user reach its folder
  ASSERT_EQ(testing_support::RunInChild(
                [&] {
                  ::unsetenv("XDG_STATE_HOME");
                  ::setenv("HOME", home.c_str(), 1);
                  ::umask(027);
                  auto context = MakeContext("id", kOptionSidInFileName | kOptionPrivateDirectories);
                  if (!context->Open() || context->is_administrator()) return 11;
                  context->AppendLine("x\r\n");
                  return 0;
                },
                kNobody),
            0);
  const std::string file = state + "/Halvern/NS/id/Log/QOR/VelderPlugin.log";
  EXPECT_EQ(ReadFile(file), "x\r\n");
  EXPECT_EQ(ModeOf(file), 0640u);
  EXPECT_EQ(ModeOf(state + "/Halvern"), 0750u);
  EXPECT_EQ(ModeOf(state), 0700u);
  EXPECT_TRUE(fs::is_empty(env.logs()));  // the machine's root is an administrator's
}

TEST(FileContext, ConfigurationFromTheMostSpecificKey) {
  LogTestEnvironment env;
  const std::string framework_key = std::string(kLoggingKey) + "\\QOR";
  const std::string component_key = framework_key + "\\VelderPlugin";
  auto context = MakeContext("id", 0, 3);
  env.SetLogging("LogLevel", 2);
  env.SetDword(framework_key, "LogLevel", 6);
  env.SetDword(component_key, "LogLevel", 5);
  EXPECT_EQ(context->GetLogLevel(), 5);
  // 0xFFFFFFFF in the specific keys means "not set here", but not in the base key.
  env.SetDword(component_key, "LogLevel", 0xFFFFFFFF);
  EXPECT_EQ(context->GetLogLevel(), 6);
  env.SetDword(framework_key, "LogLevel", 0xFFFFFFFF);
  EXPECT_EQ(context->GetLogLevel(), 2);
  env.SetLogging("LogLevel", 0xFFFFFFFF);
  EXPECT_EQ(context->GetLogLevel(), -1);
  // A value of another type counts as absent (one reader serves every key): the level given at initialisation.
  env.SetString(HKEY_LOCAL_MACHINE, component_key, "LogLevel", "6");
  env.Delete(HKEY_LOCAL_MACHINE, kLoggingKey, "LogLevel");
  EXPECT_EQ(context->GetLogLevel(), 3);

  EXPECT_FALSE(context->GetDebugOutput());
  env.SetDword(component_key, "DebugOutputLogging", 0xFFFFFFFF);
  env.SetLogging("DebugOutputLogging", 7);
  EXPECT_TRUE(context->GetDebugOutput());
  env.SetDword(framework_key, "DebugOutputLogging", 0);
  EXPECT_FALSE(context->GetDebugOutput());
}

TEST(FileContext, SizeLimitIsReadAtEveryOpen) {
  LogTestEnvironment env;
  auto context = MakeContext("id");
  ASSERT_TRUE(context->Open());
  EXPECT_EQ(context->size_limit(), 50u * 1024);
  for (const auto& [kb, limit] :
       std::vector<std::pair<uint32_t, uint64_t>>{{1, 1024}, {0, 3}, {0xFFFFFFFF, 0xFFFFFFFFull * 1024}}) {
    SCOPED_TRACE(kb);
    env.SetLogging("LogMaxSizeKB", kb);
    EXPECT_FALSE(context->Open());
    EXPECT_EQ(context->size_limit(), limit);
  }
}

TEST(FileContext, RotatesThroughThreeFiles) {
  LogTestEnvironment env;
  env.SetLogging("LogMaxSizeKB", 1);
  auto context = MakeContext("id");
  ASSERT_TRUE(context->Open());
  for (int i = 1; i <= 40; ++i) context->AppendLine(LineOf(std::to_string(i), 100));
  // Eleven 100-byte lines per file: the eleventh passes 1024 bytes and the
  // twelfth starts a new file. Lines 1 to 11 are gone.
  const auto numbers = [&](int index) {
    std::string joined;
    for (const std::string& line : ReadLines(env.LogFile("id", index))) joined += line.substr(0, line.find('.')) + " ";
    return joined;
  };
  EXPECT_EQ(numbers(2), "12 13 14 15 16 17 18 19 20 21 22 ");
  EXPECT_EQ(numbers(1), "23 24 25 26 27 28 29 30 31 32 33 ");
  EXPECT_EQ(numbers(0), "34 35 36 37 38 39 40 ");
  EXPECT_FALSE(fs::exists(env.LogFile("id", 3)));
}

TEST(FileContext, ForeignFilesAreRotatedAwayUntouched) {
  LogTestEnvironment env;
  const std::string victim = env.temp().File("victim");
  WriteFile(victim, "precious");
  const std::string utf16(std::string("\xff\xfeo\0l\0d\0", 8));
  const struct { const char* name; std::function<int(const char*)> plant; std::string old_content; } cases[] = {
      {"utf-16 mark", [&](const char* p) { return WriteFile(p, utf16), 0; }, utf16},
      {"symbolic link", [&](const char* p) { return ::symlink(victim.c_str(), p); }, "precious"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto context = MakeContext("id");
    ASSERT_TRUE(context->Open());
    ASSERT_EQ(c.plant(env.LogFile("id").c_str()), 0);
    context->AppendLine("new\r\n");
    EXPECT_EQ(ReadFile(env.LogFile("id")), "new\r\n");
    EXPECT_EQ(ReadFile(env.LogFile("id", 1)), c.old_content);
    EXPECT_EQ(ReadFile(victim), "precious");
    fs::remove_all(env.logs() + "/Halvern");
  }
}

// Another writer of the same file rotates it with a smaller limit; this
// context's open file is then the older one and must not be written.
TEST(FileContext, RotationOrRemovalByOthersIsNoticed) {
  LogTestEnvironment env;
  auto patient = MakeContext("id");
  ASSERT_TRUE(patient->Open());
  env.SetLogging("LogMaxSizeKB", 1);
  auto strict = MakeContext("id");
  ASSERT_TRUE(strict->Open());
  patient->AppendLine("a1\r\n");
  strict->AppendLine(LineOf("b1", 1100));
  strict->AppendLine("b2\r\n");  // rotates
  patient->AppendLine("a3\r\n");
  EXPECT_EQ(ReadFile(env.LogFile("id", 1)), "a1\r\n" + LineOf("b1", 1100));
  EXPECT_EQ(ReadFile(env.LogFile("id", 0)), "b2\r\na3\r\n");
  fs::remove(env.LogFile("id"));
  patient->AppendLine("a4\r\n");
  EXPECT_EQ(ReadFile(env.LogFile("id", 0)), "a4\r\n");
  fs::remove_all(env.logs() + "/Halvern");
  patient->AppendLine("a5\r\n");
  EXPECT_EQ(ReadFile(env.LogFile("id")), "a5\r\n");
}

// The lock is an flock on its own open file, so a holder in this process
// stands for another process.
TEST(FileContext, LineIsDroppedWhileAnotherProcessHoldsTheLock) {
  LogTestEnvironment env;
  auto context = MakeContext("id");
  ASSERT_TRUE(context->Open());
  context->AppendLine("1\r\n");
  const auto holder = LogFileLock::Shared(context->GetLockName(), true);
  ASSERT_TRUE(holder->Acquire(std::chrono::milliseconds(0)));
  context->AppendLine("lost\r\n");
  holder->Release();
  context->AppendLine("3\r\n");
  EXPECT_EQ(ReadFile(env.LogFile("id")), "1\r\n3\r\n");
}

TEST(FileContext, InitializationIsNotRetried) {
  LogTestEnvironment env;
  env.SetString(HKEY_LOCAL_MACHINE, kLoggingKey, "RootPath", env.temp().File("file-not-dir"));
  WriteFile(env.temp().File("file-not-dir"), "");
  auto context = MakeContext("id");
  EXPECT_FALSE(context->Open());
  env.SetString(HKEY_LOCAL_MACHINE, kLoggingKey, "RootPath", env.logs());
  EXPECT_FALSE(context->Open());
}

}  // namespace
}  // namespace HvQorLogging
