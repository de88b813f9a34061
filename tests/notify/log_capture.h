// Collects what the logger writes while a notifier test runs. The first
// capture opens the process-wide log with a registry of the test's own
// (HALVERN_REGISTRY_DIR) that turns on "DebugOutputLogging" at "LogLevel" 6,
// so every line also reaches standard error, where the capture reads it
// (whichever thread wrote it).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "logging/log.h"
#include "platform/sqlite_registry.h"

namespace notify_testing {

inline void RouteLogToStandardError() {
  static const bool routed = [] {
    static std::string folder = (std::filesystem::temp_directory_path() / "velder-notify-log-XXXXXX").string();
    if (!::mkdtemp(folder.data())) return false;
    ::setenv("HALVERN_REGISTRY_DIR", (folder + "/registry").c_str(), 1);
    const std::string key = "SOFTWARE\\Halvern\\QOR\\Logging";
    SqliteRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    registry.SetView(KEY_WOW64_32KEY);
    const bool configured = registry.CreateKeyPath(key) && registry.SetDword(key, "DebugOutputLogging", 1) &&
                            registry.SetDword(key, "LogLevel", HvQorLogging::kVerbose) &&
                            registry.SetString(key, "RootPath", folder + "/log");
    HvQorLogging::LogInit("", "velder", "notify_test", HvQorLogging::kVerbose, HvQorLogging::kOptionPrivateLock);
    std::atexit([] {
      HvQorLogging::LogClose();
      std::error_code ec;
      std::filesystem::remove_all(folder, ec);
    });
    return configured;
  }();
  EXPECT_TRUE(routed) << "the test log could not be configured";
}

class LogCapture {
 public:
  LogCapture() {
    RouteLogToStandardError();
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

 private:
  bool taken_ = false;
  std::string text_;
};

}  // namespace notify_testing
