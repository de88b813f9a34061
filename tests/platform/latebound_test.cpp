#include "platform/latebound.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "logging/log.h"
#include "platform/sqlite_registry.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

constexpr const char* kLoggingKey = "SOFTWARE\\Halvern\\QOR\\Logging";

// Logging configuration that copies every line to standard error, at every
// level, with the log file below `log_root`.
bool ConfigureLog(const std::string& registry_dir, const std::string& log_root) {
  SqliteRegistry registry(registry_dir);
  registry.SetView(KEY_WOW64_32KEY);
  return registry.CreateKeyPath(kLoggingKey) && registry.SetDword(kLoggingKey, "DebugOutputLogging", 1) &&
         registry.SetDword(kLoggingKey, "LogLevel", HvQorLogging::kVerbose) &&
         registry.SetString(kLoggingKey, "RootPath", log_root);
}

// Opens the process-wide log once, in a folder removed at exit, and returns
// that folder.
const std::string& OpenTestLog() {
  static const std::string folder = [] {
    std::string dir = (fs::temp_directory_path() / "velder-latebound-log-XXXXXX").string();
    if (!::mkdtemp(dir.data())) return std::string();
    ::setenv("HALVERN_REGISTRY_DIR", (dir + "/registry").c_str(), 1);
    if (!ConfigureLog(dir + "/registry", dir + "/log")) return std::string();
    HvQorLogging::LogInit("", "velder", "latebound_test", HvQorLogging::kVerbose, HvQorLogging::kOptionPrivateLock);
    return dir;
  }();
  static const bool cleanup_registered = [] {
    std::atexit([] {
      HvQorLogging::LogClose();
      std::error_code ec;
      fs::remove_all(folder, ec);
    });
    return true;
  }();
  (void)cleanup_registered;
  return folder;
}

// What the logger writes to standard error while one call runs.
class StderrCapture {
 public:
  StderrCapture() { testing::internal::CaptureStderr(); }
  ~StderrCapture() {
    if (!taken_) testing::internal::GetCapturedStderr();
  }
  std::string Text() {
    taken_ = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

class LateboundTest : public testing::Test {
 protected:
  LateboundTest() {
    const std::string& log_folder = OpenTestLog();
    EXPECT_FALSE(log_folder.empty()) << "the test log could not be opened";
    const char* old = ::getenv("HALVERN_REGISTRY_DIR");
    old_registry_ = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("HALVERN_REGISTRY_DIR", dir_.File("registry").c_str(), 1);
    // The logger re-reads its configuration now and then, from this registry.
    EXPECT_TRUE(ConfigureLog(dir_.File("registry"), log_folder + "/log"));
  }
  ~LateboundTest() override {
    if (old_registry_) {
      ::setenv("HALVERN_REGISTRY_DIR", old_registry_->c_str(), 1);
    } else {
      ::unsetenv("HALVERN_REGISTRY_DIR");
    }
  }

  SqliteRegistry MakeRegistry() { return SqliteRegistry(dir_.File("registry")); }

  void SetPath(const std::string& ns, const std::string& value, bool expand = false) {
    SqliteRegistry registry(dir_.File("registry"));
    const std::string key = "SOFTWARE\\Halvern\\NS\\" + ns + "\\Latebound";
    ASSERT_TRUE(registry.CreateKeyPath(key));
    ASSERT_TRUE(expand ? registry.SetExpandString(key, "LateboundPath", value)
                       : registry.SetString(key, "LateboundPath", value));
  }

  // Creates <dir>/100/settings/<product>.velder and returns its path.
  std::string MakeBaseFile(const std::string& dir, const std::string& product = "tarn") {
    fs::create_directories(fs::path(dir) / "100" / "settings");
    const std::string file = dir + "/100/settings/" + product + ".velder";
    testing_support::WriteFile(file, "{}");
    return file;
  }

  // Runs the lookup and returns its result and what it logged.
  std::pair<std::string, std::string> Lookup(const std::string& product, const std::string& ns) {
    StderrCapture capture;
    std::string path = Latebound::GetLateboundBaseFile(product, ns);
    return {path, capture.Text()};
  }

  TempDir dir_;
  std::optional<std::string> old_registry_;
};

TEST_F(LateboundTest, FindsTheFileWithAndWithoutATrailingSeparator) {
  const std::string data = dir_.File("data");
  const std::string expected = MakeBaseFile(data);
  struct Case {
    std::string value;
    bool expand;
  };
  for (const Case& c : {Case{data, false}, Case{data + "/", false}, Case{data, true}}) {
    SCOPED_TRACE(c.value + (c.expand ? " (expandable)" : ""));
    SetPath("default", c.value, c.expand);
    const auto [path, log] = Lookup("tarn", "default");
    EXPECT_EQ(path, expected);
    EXPECT_EQ(log, "");
  }
  // Only the product asked for.
  const auto [other, log] = Lookup("other", "default");
  EXPECT_EQ(other, "");
  EXPECT_NE(log.find("Not found: '" + data + "/100/settings/other.velder'"), std::string::npos) << log;
}

TEST_F(LateboundTest, MissingKeyOrValueLogsTheKey) {
  {
    const auto [path, log] = Lookup("tarn", "my_identity");
    EXPECT_EQ(path, "");
    EXPECT_NE(log.find("Failed to read LateboundTargetDir: 1, from SOFTWARE\\Halvern\\NS\\my_identity\\Latebound"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Latebound::GetLateboundBaseFile"), std::string::npos) << log;
  }
  // The key without the value, and the value with the wrong type.
  SqliteRegistry registry = MakeRegistry();
  const std::string key = "SOFTWARE\\Halvern\\NS\\typed\\Latebound";
  ASSERT_TRUE(registry.CreateKeyPath(key));
  {
    const auto [path, log] = Lookup("tarn", "typed");
    EXPECT_EQ(path, "");
    EXPECT_NE(log.find("Failed to read LateboundTargetDir: 1, from " + key), std::string::npos) << log;
  }
  ASSERT_TRUE(registry.SetDword(key, "LateboundPath", 1));
  {
    const auto [path, log] = Lookup("tarn", "typed");
    EXPECT_EQ(path, "");
    EXPECT_NE(log.find("Failed to read LateboundTargetDir: 2, from " + key), std::string::npos) << log;
  }
}

TEST_F(LateboundTest, UnreadableRegistryIsAFailureToRead) {
  // The machine hive replaced by something that is no database at all.
  fs::create_directories(dir_.path() / "registry");
  testing_support::WriteFile(dir_.path() / "registry" / "HKLM.db", std::string(4096, 'x'));
  const auto [path, log] = Lookup("tarn", "default");
  EXPECT_EQ(path, "");
  EXPECT_NE(log.find("Failed to read LateboundTargetDir: 3, from SOFTWARE\\Halvern\\NS\\default\\Latebound"),
            std::string::npos)
      << log;
}

TEST_F(LateboundTest, NamespaceSelectsTheKey) {
  const std::string a = MakeBaseFile(dir_.File("a"));
  const std::string b = MakeBaseFile(dir_.File("b"));
  SetPath("alpha", dir_.File("a"));
  SetPath("beta", dir_.File("b"));
  EXPECT_EQ(Lookup("tarn", "alpha").first, a);
  EXPECT_EQ(Lookup("tarn", "beta").first, b);
  // Registry names compare without regard to case.
  EXPECT_EQ(Lookup("tarn", "ALPHA").first, a);
  EXPECT_EQ(Lookup("tarn", "gamma").first, "");
}

TEST_F(LateboundTest, AnythingButARegularFileIsNotFound) {
  const std::string data = dir_.File("data");
  SetPath("default", data);
  const std::string expected = data + "/100/settings/tarn.velder";
  struct Case {
    const char* name;
    std::function<void()> make;
  };
  for (const Case& c : {
           Case{"nothing there", [] {}},
           Case{"a directory", [&] { fs::create_directories(expected); }},
           Case{"a FIFO", [&] {
                  fs::create_directories(fs::path(expected).parent_path());
                  ASSERT_EQ(::mkfifo(expected.c_str(), 0600), 0);
                }},
           Case{"a dangling link", [&] {
                  fs::create_directories(fs::path(expected).parent_path());
                  fs::create_symlink(data + "/gone", expected);
                }},
       }) {
    SCOPED_TRACE(c.name);
    fs::remove_all(data);
    c.make();
    const auto [path, log] = Lookup("tarn", "default");
    EXPECT_EQ(path, "");
    EXPECT_NE(log.find("Not found: '" + expected + "'"), std::string::npos) << log;
  }
  // A link to a regular file is followed.
  fs::remove_all(data);
  const std::string real = MakeBaseFile(dir_.File("real"));
  fs::create_directories(fs::path(expected).parent_path());
  fs::create_symlink(real, expected);
  EXPECT_EQ(Lookup("tarn", "default").first, expected);
}

TEST_F(LateboundTest, RelativeOrEmptyDirectoriesNeverDependOnTheWorkingFolder) {
  // A file that would be found relative to the working folder.
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_.path());
  MakeBaseFile(".");
  MakeBaseFile("rel");
  struct Case {
    std::string value;
    std::string logged;
  };
  for (const Case& c : {Case{"", "100/settings/tarn.velder"}, Case{"rel", "rel/100/settings/tarn.velder"},
                        Case{"%HOME%", "%HOME%/100/settings/tarn.velder"}}) {
    SCOPED_TRACE(c.value);
    SetPath("default", c.value);
    const auto [path, log] = Lookup("tarn", "default");
    EXPECT_EQ(path, "");
    EXPECT_NE(log.find("Not found: '" + c.logged + "'"), std::string::npos) << log;
  }
  fs::current_path(old_cwd);
}

TEST_F(LateboundTest, ProductCannotLeaveTheSettingsDirectory) {
  const std::string data = dir_.File("data");
  SetPath("default", data);
  MakeBaseFile(data);
  fs::create_directories(data + "/100/evil");
  testing_support::WriteFile(data + "/100/evil/x.velder", "{}");
  const auto [path, log] = Lookup("../evil/x", "default");
  EXPECT_EQ(path, "");
  EXPECT_NE(log.find("Not found"), std::string::npos) << log;
}

}  // namespace
