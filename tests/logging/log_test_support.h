// Helpers of the logging tests: a registry and log root of their own, and a
// line reader.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/sqlite_registry.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace logging_test {

inline constexpr const char* kLoggingKey = "SOFTWARE\\Halvern\\QOR\\Logging";
// A regular expression for what precedes the tag of a line: time and "[pid.tid] ".
inline constexpr const char* kLinePrefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9a-f]{4,}\.[0-9a-f]{4,}\] )";

// A temporary folder with a registry ($HALVERN_REGISTRY_DIR points at it
// while the object lives) whose machine-wide "RootPath" is the folder's
// "logs" directory.
class LogTestEnvironment {
 public:
  LogTestEnvironment() : registry_dir_(temp_.File("registry")), logs_(temp_.File("logs")) {
    std::filesystem::create_directories(logs_);
    env_.Set("HALVERN_REGISTRY_DIR", registry_dir_);
    SetString(HKEY_LOCAL_MACHINE, kLoggingKey, "RootPath", logs_);
  }

  const testing_support::TempDir& temp() const { return temp_; }
  const std::string& logs() const { return logs_; }

  std::unique_ptr<SqliteRegistry> Registry(HKEY root) {
    auto registry = std::make_unique<SqliteRegistry>(registry_dir_);
    registry->SetRootKey(root);
    return registry;
  }
  void SetString(HKEY root, const std::string& key, const std::string& name, const std::string& value) {
    auto registry = Registry(root);
    ASSERT_TRUE(registry->CreateKeyPath(key) && registry->SetString(key, name, value));
  }
  void SetDword(const std::string& key, const std::string& name, uint32_t value) {
    auto registry = Registry(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(registry->CreateKeyPath(key) && registry->SetDword(key, name, value));
  }
  void SetLogging(const std::string& name, uint32_t value) { SetDword(kLoggingKey, name, value); }
  void Delete(HKEY root, const std::string& key, const std::string& name) { Registry(root)->DeleteValue(key, name); }

  // The plug-in's log file (index 0: current, n: older) for `identity`.
  std::string LogFile(const std::string& identity, int index = 0) const {
    return logs_ + "/Halvern/NS/" + identity + "/Log/QOR/VelderPlugin" +
           (index == 0 ? std::string() : "." + std::to_string(index)) + ".log";
  }

 private:
  testing_support::TempDir temp_;
  testing_support::ScopedEnv env_;
  std::string registry_dir_;
  std::string logs_;
};

// The lines of a log file, without their "\r\n". Fails the test when a line
// does not end with "\r\n".
inline std::vector<std::string> ReadLines(const std::string& path) {
  const std::string content = testing_support::ReadFile(path);
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < content.size(); start = end + 2) {
    end = content.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << path << ": unterminated line: " << content.substr(start);
      break;
    }
    lines.push_back(content.substr(start, end - start));
  }
  return lines;
}

}  // namespace logging_test
