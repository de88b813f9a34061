#include "server/update_schedule.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The timeout and back-off of `code`, in seconds, before jitter.
UpdateSchedule::Delays DelaysOf(uint32_t code, int64_t poll_interval) {
  switch (code) {
    case UpdateSchedule::kStatusDueNow: return {0, 0};
    case UpdateSchedule::kStatusUpToDate: return {poll_interval, 30};
    case UpdateSchedule::kStatusFetched: return {poll_interval, 0};
    case UpdateSchedule::kStatusUnauthorized: return {10, 5};
    case UpdateSchedule::kStatusPushRefused: return {60, 5};
    case UpdateSchedule::kStatusNotConnected: return {2592000, 30};  // 30 days
    case UpdateSchedule::kStatusTooManyRequests: return {10, 5};
    default: return {std::min<int64_t>(poll_interval, 900), 30};
  }
}

// A stored time in seconds; false for anything but a number that fits.
bool ReadSeconds(const nlohmann::json& value, int64_t& seconds) {
  if (value.is_number_unsigned()) {
    const uint64_t v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    seconds = static_cast<int64_t>(v);
    return true;
  }
  if (value.is_number_integer()) {
    seconds = value.get<int64_t>();
    return true;
  }
  if (value.is_number_float()) {
    const double v = value.get<double>();
    // Beyond +-2^63 (or NaN) the conversion would be undefined.
    if (!(v > -9.2e18 && v < 9.2e18)) return false;
    seconds = static_cast<int64_t>(v);
    return true;
  }
  return false;
}

}  // namespace

UpdateSchedule::UpdateSchedule(uint32_t seed) : random_(seed) {}

UpdateSchedule::Delays UpdateSchedule::Set(uint32_t code, int64_t now) {
  Delays delays = DelaysOf(code, poll_interval_);
  // A poll interval below zero would schedule into the past.
  const int64_t timeout = std::max<int64_t>(delays.timeout, 0);
  delays.timeout = timeout + static_cast<int64_t>(static_cast<double>(timeout) * NextJitter());
  if (delays.backoff != 0) not_before_ = std::max(not_before_, now + delays.backoff);
  last_status_ = code;
  next_check_ = std::max(now + delays.timeout, not_before_);
  return delays;
}

UpdateSchedule::Delays UpdateSchedule::SetDueNow(int64_t now) {
  not_before_ = now;
  return Set(kStatusDueNow, now);
}

void UpdateSchedule::Restore(const nlohmann::json* stored, int64_t now) {
  if (stored == nullptr || !ReadSeconds(*stored, next_check_) || next_check_ > now + kMaxStoredNextCheckAhead) {
    next_check_ = now;
  }
}

double UpdateSchedule::NextJitter() {
  if (fixed_jitter_) return *fixed_jitter_;
  double u = std::generate_canonical<double, 53>(random_);
  if (u >= 1.0) u = std::nextafter(1.0, 0.0);  // rounding may reach 1 on some libraries
  return u * 0.2;
}
