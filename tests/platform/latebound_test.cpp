#include "platform/latebound.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "platform/sqlite_registry.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// The lookups read the test registry that also configures the log; each test
// starts without any namespace keys.
class LateboundTest : public testing::Test {
 protected:
  LateboundTest() : registry_(testing_support::TestRegistry()) { registry_.DeleteKeyTree("SOFTWARE\\Halvern", "NS"); }

  void SetPath(const std::string& ns, const std::string& value) {
    const std::string key = "SOFTWARE\\Halvern\\NS\\" + ns + "\\Latebound";
    ASSERT_TRUE(registry_.CreateKeyPath(key) && registry_.SetString(key, "LateboundPath", value));
  }

  // Creates <dir>/100/settings/tarn.velder and returns its path.
  std::string MakeBaseFile(const std::string& dir) {
    fs::create_directories(fs::path(dir) / "100" / "settings");
    const std::string file = dir + "/100/settings/tarn.velder";
    testing_support::WriteFile(file, "{}");
    return file;
  }

  // Runs the lookup and returns its result and what it logged.
  std::pair<std::string, std::string> Lookup(const std::string& product, const std::string& ns) {
    testing_support::LogCapture capture;
    std::string path = Latebound::GetLateboundBaseFile(product, ns);
    return {path, capture.Text()};
  }

  testing_support::TempDir dir_;
  SqliteRegistry registry_;
};

TEST_F(LateboundTest, FindsTheFileWithAndWithoutATrailingSeparator) {
  const std::string data = dir_.File("data");
  const std::string expected = MakeBaseFile(data);
  for (const std::string& value : {data, data + "/"}) {
    SCOPED_TRACE(value);
    SetPath("default", value);
    const auto [path, log] = Lookup("tarn", "default");
    EXPECT_EQ(path, expected);
    EXPECT_EQ(log, "");
  }
  // Names of namespaces ignore case; another namespace has a key of its own.
  // (The product name is a constant of the product, never a caller's text.)
  EXPECT_EQ(Lookup("tarn", "DEFAULT").first, expected);
  EXPECT_EQ(Lookup("tarn", "gamma").first, "");
}

TEST_F(LateboundTest, MissingOrUnreadableValuesLogTheKeyAndTheCause) {
  const std::string key = "SOFTWARE\\Halvern\\NS\\typed\\Latebound";
  struct Case {
    const char* name;
    std::function<void()> make;
    int cause;
  };
  for (const Case& c : {
           Case{"key without the value", [&] { ASSERT_TRUE(registry_.CreateKeyPath(key)); }, 1},
           Case{"value of the wrong type", [&] { ASSERT_TRUE(registry_.SetDword(key, "LateboundPath", 1)); }, 2},
       }) {
    SCOPED_TRACE(c.name);
    c.make();
    const auto [path, log] = Lookup("tarn", "typed");
    EXPECT_EQ(path, "");
    EXPECT_NE(log.find("Failed to read LateboundTargetDir: " + std::to_string(c.cause) + ", from " + key),
              std::string::npos)
        << log;
  }

  // The machine hive replaced by something that is no database at all.
  testing_support::ScopedEnv env("HALVERN_REGISTRY_DIR", dir_.File("broken"));
  fs::create_directories(dir_.path() / "broken");
  testing_support::WriteFile(dir_.path() / "broken" / "HKLM.db", std::string(4096, 'x'));
  const auto [path, log] = Lookup("tarn", "default");
  EXPECT_EQ(path, "");
  EXPECT_NE(log.find("Failed to read LateboundTargetDir: 3, from SOFTWARE\\Halvern\\NS\\default\\Latebound"),
            std::string::npos)
      << log;
}

// Which kinds of file count is IsRegularFile's own test; a directory in the
// file's place shows that the lookup asks it.
TEST_F(LateboundTest, AnythingButARegularFileIsNotFound) {
  const std::string data = dir_.File("data"), expected = data + "/100/settings/tarn.velder";
  SetPath("default", data);
  fs::create_directories(expected);
  const auto [path, log] = Lookup("tarn", "default");
  EXPECT_EQ(path, "");
  EXPECT_NE(log.find("Not found: '" + expected + "'"), std::string::npos) << log;
}

TEST_F(LateboundTest, RelativeOrEmptyDirectoriesNeverDependOnTheWorkingFolder) {
  // A file that would be found relative to the working folder.
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_.path());
  MakeBaseFile(".");
  MakeBaseFile("rel");
  for (const std::string value : {"", "rel", "%HOME%"}) {
    SCOPED_TRACE(value);
    SetPath("default", value);
    const auto [path, log] = Lookup("tarn", "default");
    EXPECT_EQ(path, "");
    EXPECT_NE(log.find("Not found: '" + (value.empty() ? "" : value + "/") + "100/settings/tarn.velder'"),
              std::string::npos)
        << log;
  }
  fs::current_path(old_cwd);
}

}  // namespace
