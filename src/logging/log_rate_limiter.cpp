#include "logging/log_rate_limiter.h"

#include <chrono>

namespace HvQorLogging {

bool LogRateLimiter::Allow(std::string_view client, uint64_t now_ms, uint64_t& suppressed) {
  suppressed = 0;
  platform::MutexLock lock(mutex_);
  auto it = clients_.find(client);
  if (it == clients_.end()) {
    if (clients_.size() >= kMaxClients) {
      // Forget clients whose window is over and who have nothing to report.
      std::erase_if(clients_, [now_ms](const auto& entry) {
        return now_ms - entry.second.start_ms >= kWindowMs && entry.second.dropped == 0;
      });
    }
    const std::string_view key = clients_.size() < kMaxClients ? client : std::string_view("*");
    it = clients_.try_emplace(std::string(key), Window{now_ms, 0, 0}).first;
  }
  Window& window = it->second;
  if (now_ms - window.start_ms >= kWindowMs) {
    window.start_ms = now_ms;
    window.written = 0;
  }
  if (window.written >= kLinesPerWindow) {
    ++window.dropped;
    return false;
  }
  ++window.written;
  suppressed = window.dropped;
  window.dropped = 0;
  return true;
}

LogRateLimiter& RefusalLogLimiter() {
  static LogRateLimiter limiter;
  return limiter;
}

uint64_t MonotonicMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace HvQorLogging
