#include "logging/log_line.h"

#include <gtest/gtest.h>

#include <string>

namespace HvQorLogging {
namespace {

std::string Line(const LogTime& time, uint32_t pid, uint32_t tid, std::string_view tag, std::string_view message) {
  fmt::memory_buffer out;
  AppendLogLine(out, time, pid, tid, tag, "", message);
  return fmt::to_string(out);
}

TEST(LogLine, IdsAreAtLeastFourHexDigitsNeverCut) {
  const LogTime t{2026, 3, 1, 14, 5, 9, 42, 0, true};
  EXPECT_EQ(Line(t, 7, 0x3fffff, "*E", ""), "2026-03-01 14:05:09.042 [0007.3fffff] *E: \r\n");
  EXPECT_EQ(Line(t, 0xABCDEF12, 0, "  ", "x"), "2026-03-01 14:05:09.042 [abcdef12.0000]   : x\r\n");
}

TEST(LogLine, MessagesStayOneLine) {
  const LogTime t{2026, 1, 2, 3, 4, 5, 6, 0, true};
  const std::string prefix = "2026-01-02 03:04:05.006 [0001.0002] .W: ";
  for (const auto& [message, written] : std::vector<std::pair<std::string, std::string>>{
           {"two\r\nlines", "two\\r\\nlines"},
           {std::string("nul\0byte", 8), "nul\\x00byte"},
           {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
           {"tab\tkept, utf-8 kept: \xc3\xa9\xe2\x82\xac", "tab\tkept, utf-8 kept: \xc3\xa9\xe2\x82\xac"},
       }) {
    SCOPED_TRACE(written);
    EXPECT_EQ(Line(t, 1, 2, ".W", message), prefix + written + "\r\n");
  }
}

// Local time and its offset are the logger's line test.
TEST(LogLine, TimeBeforeNineteenSeventy) {
  // The milliseconds still count forward within their second.
  const LogTime early = BreakDownTime(-1, true);
  EXPECT_EQ(fmt::format("{} {}:{}:{}.{}", early.year, early.hour, early.minute, early.second, early.millisecond),
            "1969 23:59:59.999");
}

TEST(LogLine, StartBannerOffsets) {
  for (const auto& [minutes, shown] : std::vector<std::pair<long, std::string>>{
           {0, "+0:00"},
           {-30, "-0:30"},   // a part hour west keeps its sign
           {kUnknownOffsetMinutes, "+59:59"},
       }) {
    SCOPED_TRACE(minutes);
    EXPECT_EQ(StartBannerText(minutes, 0xdeadbeef, false),
              "***  LOGGING STARTED  *** (UTC" + shown + ", session: 0xdeadbeef)");
  }
}

}  // namespace
}  // namespace HvQorLogging
