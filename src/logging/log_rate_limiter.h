// A bound on the log lines one client can cause: any local user may send
// requests that are refused, and a line for each would let them rotate the
// log files away within a second. Lines about one client (named by what the
// kernel says it is, not by what it claims) are written at most
// kLinesPerWindow per window; the rest are counted and the count is reported
// with the client's next line.
//
// Thread-safe. RefusalLogLimiter() is the process-wide instance the request
// paths use; HV_LOG_REFUSAL is the way to use it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "logging/log.h"
#include "platform/mutex.h"

namespace HvQorLogging {

class LogRateLimiter {
 public:
  static constexpr uint32_t kLinesPerWindow = 20;
  static constexpr uint64_t kWindowMs = 60'000;
  // Clients tracked at once; beyond, new clients share one allowance.
  static constexpr size_t kMaxClients = 1024;

  // True when a line about `client` may be written at `now_ms` (a monotonic
  // millisecond count); `suppressed` then receives how many of its lines
  // were dropped since its last written one.
  bool Allow(std::string_view client, uint64_t now_ms, uint64_t& suppressed) EXCLUDES(mutex_);

 private:
  struct Window {
    uint64_t start_ms = 0;
    uint32_t written = 0;
    uint64_t dropped = 0;
  };
  platform::Mutex mutex_;
  std::map<std::string, Window, std::less<>> clients_ GUARDED_BY(mutex_);
};

LogRateLimiter& RefusalLogLimiter();
uint64_t MonotonicMs();

}  // namespace HvQorLogging

// Logs a refusal caused by `client` (its SID text), within the client's
// allowance; when lines were dropped before, a line with their count first.
#define HV_LOG_REFUSAL(level, client, ...)                                                                  \
  do {                                                                                                      \
    uint64_t hv_suppressed = 0;                                                                             \
    if (::HvQorLogging::LogIsEnabled(level) &&                                                              \
        ::HvQorLogging::RefusalLogLimiter().Allow((client), ::HvQorLogging::MonotonicMs(), hv_suppressed)) { \
      if (hv_suppressed != 0) {                                                                             \
        HV_LOG(level, "{} more refusals of client '{}' were not logged", hv_suppressed, (client));          \
      }                                                                                                     \
      HV_LOG(level, __VA_ARGS__);                                                                           \
    }                                                                                                       \
  } while (0)
