#include "manager/request_timer.h"

RequestTimer::RequestTimer(const Statistics* statistics, uint32_t type, std::string_view originator) : type_(type) {
  if (!statistics) return;
  session_ = statistics->CurrentSession();
  if (!session_) return;
  monotonic_ = statistics->monotonic();
  originator_ = originator;
  begin_ns_ = monotonic_();
}

RequestTimer::~RequestTimer() {
  if (!session_) return;
  session_->Record(type_, originator_, DurationMs(begin_ns_, monotonic_()));
}

uint64_t RequestTimer::DurationMs(uint64_t begin_ns, uint64_t end_ns) {
  if (end_ns <= begin_ns) return 0;
  const uint64_t elapsed = end_ns - begin_ns;
  return elapsed / 1'000'000 + (elapsed % 1'000'000 != 0 ? 1 : 0);
}
