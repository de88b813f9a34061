// Reading what the process-wide logger writes during a test.
//
// The first use makes a registry folder of the test process's own
// (HALVERN_REGISTRY_DIR) that configures the log as an installation that
// debugs would: "DebugOutputLogging" copies every line to standard error,
// "LogLevel" 6 lets every level through, and "RootPath" keeps the log file in
// the same temporary folder, removed at exit. LogCapture then reads what any
// thread writes to standard error while it is alive. Tests that need registry
// values of their own (tokens, folders) write them into the same registry.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "logging/log.h"
#include "platform/sqlite_registry.h"

namespace testing_support {

// The test registry folder; configures and opens the log on first use.
inline const std::string& TestRegistry() {
  static const std::string registry = [] {
    static std::string folder = (std::filesystem::temp_directory_path() / "velder-test-log-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) return std::string();
    const std::string dir = folder + "/registry", key = "SOFTWARE\\Halvern\\QOR\\Logging";
    ::setenv("HALVERN_REGISTRY_DIR", dir.c_str(), 1);
    SqliteRegistry registry(dir);
    if (!registry.CreateKeyPath(key) || !registry.SetDword(key, "DebugOutputLogging", 1) ||
        !registry.SetDword(key, "LogLevel", HvQorLogging::kVerbose) ||
        !registry.SetString(key, "RootPath", folder + "/log")) {
      return std::string();
    }
    HvQorLogging::LogInit("", "velder", "test", HvQorLogging::kVerbose, HvQorLogging::kOptionPrivateLock);
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

inline void RouteLogToStandardError() { TestRegistry(); }

class LogCapture {
 public:
  LogCapture() {
    TestRegistry();
    testing::internal::CaptureStderr();
  }
  ~LogCapture() { Text(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Ends the capture (once) and returns everything written.
  const std::string& Text() {
    if (!taken_) text_ = testing::internal::GetCapturedStderr();
    taken_ = true;
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

}  // namespace testing_support
