// A clock that moves only when a test moves it. Installing it makes every
// component that asks platform::CurrentClock() see its time.
#pragma once

#include <atomic>

#include "platform/clock.h"

namespace testing_support {

// Starts at wall time 1,700,000,000,000 ms since 1970 and tick count 1000;
// Advance moves both together.
class FakeClock final : public platform::Clock {
 public:
  int64_t NowSeconds() const override { return now_ms_.load() / 1000; }
  int64_t NowMilliseconds() const override { return now_ms_.load(); }
  uint64_t TickCountMs() const override { return tick_ms_.load(); }
  void Advance(int64_t ms) {
    now_ms_ += ms;
    tick_ms_ += static_cast<uint64_t>(ms);
  }

 private:
  std::atomic<int64_t> now_ms_{1'700'000'000'000};
  std::atomic<uint64_t> tick_ms_{1000};
};

// Installs a FakeClock for the lifetime of this object.
class ScopedFakeClock {
 public:
  ScopedFakeClock() : previous_(platform::SetClockForTesting(&clock_)) {}
  ~ScopedFakeClock() { platform::SetClockForTesting(previous_); }
  FakeClock* operator->() { return &clock_; }

 private:
  FakeClock clock_;
  const platform::Clock* previous_;
};

}  // namespace testing_support
