// Measures one request (or one server base update) for the request
// statistics: begins when constructed, records when destroyed, also when the
// measured code leaves by an early return or an exception.
//
//   RequestTimer timer(statistics, request.type, sender_channel);
//
// The timer holds the session that was current when it began, so it may end
// after collection stopped (the record then goes to the stopped session) and
// on any thread. It does not need the Statistics to outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "manager/statistics.h"

class RequestTimer {
 public:
  // `statistics` may be null: the timer then measures nothing, as it does
  // while collection is off. The originator is copied only when measuring.
  RequestTimer(const Statistics* statistics, uint32_t type, std::string_view originator);
  ~RequestTimer();
  RequestTimer(const RequestTimer&) = delete;
  RequestTimer& operator=(const RequestTimer&) = delete;

  // Milliseconds, rounded up, of a measured span in nanoseconds.
  static uint64_t DurationMs(uint64_t begin_ns, uint64_t end_ns);

 private:
  std::shared_ptr<Statistics::Session> session_;
  Statistics::MonotonicSource monotonic_ = nullptr;
  uint64_t begin_ns_ = 0;
  uint32_t type_;
  std::string originator_;
};
