// Time sources. Production code asks the process-wide clock; tests install a
// fake one (tests/support/fake_clock.h) to move time without sleeping.
#pragma once

#include <cstdint>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time: seconds since 1970 (UTC).
  virtual int64_t NowSeconds() const = 0;
  // Wall-clock time in milliseconds since 1970 (UTC), for time stamps.
  virtual int64_t NowMilliseconds() const = 0;
  // A monotonic tick count in milliseconds, for intervals.
  virtual uint64_t TickCountMs() const = 0;
};

// The real clock.
const Clock& SystemClock();

// The clock that time-dependent code uses: the system clock unless a test has
// installed another. Thread-safe.
const Clock& CurrentClock();

// Installs `clock` (nullptr restores the system clock) and returns the previous
// one. Tests only; the caller keeps `clock` alive while it is installed.
const Clock* SetClockForTesting(const Clock* clock);

}  // namespace platform
