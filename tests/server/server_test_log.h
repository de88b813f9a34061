// The process-wide test registry and log of the server and manager tests.
//
// The first use makes a registry folder of the test process's own
// (HALVERN_REGISTRY_DIR), configures the log there to copy every line, at
// every level, to standard error, and opens the log. LogCapture then reads
// what any thread writes while it is alive. The same registry holds the
// client-authentication library's tokens (TestRegistry).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "logging/log.h"
#include "platform/sqlite_registry.h"

namespace server_testing {

// The registry folder; opens the log on first use.
inline const std::string& TestRegistry() {
  static const std::string registry = [] {
    static std::string folder = (std::filesystem::temp_directory_path() / "velder-manager-test-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) return std::string();
    const std::string dir = folder + "/registry";
    ::setenv("HALVERN_REGISTRY_DIR", dir.c_str(), 1);
    const std::string key = "SOFTWARE\\Halvern\\QOR\\Logging";
    SqliteRegistry registry(dir);
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    registry.SetView(KEY_WOW64_32KEY);
    if (!registry.CreateKeyPath(key) || !registry.SetDword(key, "DebugOutputLogging", 1) ||
        !registry.SetDword(key, "LogLevel", HvQorLogging::kVerbose) ||
        !registry.SetString(key, "RootPath", folder + "/log")) {
      return std::string();
    }
    HvQorLogging::LogInit("", "velder", "manager_test", HvQorLogging::kVerbose, HvQorLogging::kOptionPrivateLock);
    std::atexit([] {
      HvQorLogging::LogClose();
      std::error_code ec;
      std::filesystem::remove_all(folder, ec);
    });
    return dir;
  }();
  EXPECT_FALSE(registry.empty()) << "the test registry could not be made";
  return registry;
}

class LogCapture {
 public:
  LogCapture() {
    TestRegistry();
    testing::internal::CaptureStderr();
  }
  ~LogCapture() {
    if (!taken_) testing::internal::GetCapturedStderr();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Ends the capture (once) and returns everything written.
  const std::string& Text() {
    if (!taken_) {
      text_ = testing::internal::GetCapturedStderr();
      taken_ = true;
    }
    return text_;
  }
  bool Contains(std::string_view part) { return Text().find(part) != std::string::npos; }
  size_t Count(std::string_view part) {
    size_t n = 0;
    for (size_t at = Text().find(part); at != std::string::npos; at = Text().find(part, at + part.size())) ++n;
    return n;
  }

 private:
  bool taken_ = false;
  std::string text_;
};

}  // namespace server_testing
