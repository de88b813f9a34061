#include "logging/log_line.h"

#include <ctime>
#include <iterator>

namespace HvQorLogging {
namespace {

bool NeedsEscape(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; }

void AppendEscaped(fmt::memory_buffer& out, std::string_view text) {
  size_t plain = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!NeedsEscape(c)) continue;
    out.append(text.data() + plain, text.data() + i);
    if (c == '\n') {
      out.append(std::string_view("\\n"));
    } else if (c == '\r') {
      out.append(std::string_view("\\r"));
    } else {
      fmt::format_to(std::back_inserter(out), "\\x{:02x}", c);
    }
    plain = i + 1;
  }
  out.append(text.data() + plain, text.data() + text.size());
}

// "+2:00", "-3:30", "-0:30": the sign belongs to the whole offset.
std::string FormatOffset(long offset_minutes) {
  const char sign = offset_minutes < 0 ? '-' : '+';
  const long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  return fmt::format("{}{}:{:02}", sign, magnitude / 60, magnitude % 60);
}

}  // namespace

LogTime BreakDownTime(int64_t unix_ms, bool utc) {
  LogTime t;
  int64_t seconds = unix_ms / 1000;
  int64_t millis = unix_ms % 1000;
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  const time_t when = static_cast<time_t>(seconds);
  struct tm tm {};
  if ((utc ? ::gmtime_r(&when, &tm) : ::localtime_r(&when, &tm)) == nullptr) return t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = static_cast<int>(millis);
  t.utc_offset_seconds = tm.tm_gmtoff;
  t.valid = true;
  return t;
}

void AppendLogLine(fmt::memory_buffer& out, const LogTime& time, uint32_t process_id, uint32_t thread_id,
                   std::string_view tag, std::string_view prepared_source, std::string_view message) {
  fmt::format_to(std::back_inserter(out), "{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} [{:04x}.{:04x}] {}: {}", time.year,
                 time.month, time.day, time.hour, time.minute, time.second, time.millisecond, process_id, thread_id,
                 tag, prepared_source);
  AppendEscaped(out, message);
  out.append(std::string_view("\r\n"));
}

std::string StartBannerText(long offset_minutes, uint32_t session_id, bool utc_timestamps) {
  if (utc_timestamps) {
    return fmt::format("***  LOGGING STARTED  *** (UTC+00:00, local:{}, session: 0x{:x})", FormatOffset(offset_minutes),
                       session_id);
  }
  return fmt::format("***  LOGGING STARTED  *** (UTC{}, session: 0x{:x})", FormatOffset(offset_minutes), session_id);
}

}  // namespace HvQorLogging
