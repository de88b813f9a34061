// Collects what the logger writes while a storage test runs, so that tests can
// check which messages a file operation produced (and that a normal one
// produces none). The logger writes its lines to standard error in tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace storage_testing {

class LogCapture {
 public:
  LogCapture() { testing::internal::CaptureStderr(); }
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

}  // namespace storage_testing
