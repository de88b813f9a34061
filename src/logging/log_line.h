// The text of log lines and banners, kept apart from the logger so that the
// exact bytes can be checked on their own.
//
//   2026-03-01 14:05:09.042 [04d2.04d3]  I: Storage::Save: saved 3 values\r\n
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace HvQorLogging {

// A time stamp broken down for a line.
struct LogTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
  // Seconds east of UTC of the local time at that moment (0 in UTC).
  long utc_offset_seconds = 0;
  bool valid = false;
};

// `unix_ms`: milliseconds since 1970 (UTC). Local time, or UTC with `utc`.
LogTime BreakDownTime(int64_t unix_ms, bool utc);

// Appends one line: time stamp, "[pid.tid]" in lower-case hexadecimal of at
// least four digits, the level tag, the prepared source (with its ": ") and
// the message, ended by "\r\n". Line breaks and other control characters
// inside the message are written as escapes ("\n", "\x1b"), so that one
// message is always one line and no caller's text can forge another line.
void AppendLogLine(fmt::memory_buffer& out, const LogTime& time, uint32_t process_id, uint32_t thread_id,
                   std::string_view tag, std::string_view prepared_source, std::string_view message);

// The start banner's text. `offset_minutes`: minutes east of UTC; shown as
// "UTC+2:00", "UTC-3:30", "UTC+10:00". With `utc_timestamps` the lines are
// in UTC and the banner names the local offset instead.
std::string StartBannerText(long offset_minutes, uint32_t session_id, bool utc_timestamps);

// Offset shown when the local time zone cannot be determined.
inline constexpr long kUnknownOffsetMinutes = 3599;

inline constexpr std::string_view kEndBanner = "***  LOGGING ENDED  ***";
inline constexpr std::string_view kAutoClosedBanner = "***  LOG AUTO-CLOSED ***";

}  // namespace HvQorLogging
