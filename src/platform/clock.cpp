#include "platform/clock.h"

#include <atomic>
#include <chrono>

namespace platform {
namespace {

class RealClock final : public Clock {
 public:
  int64_t NowSeconds() const override {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  }
  int64_t NowMilliseconds() const override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }
  uint64_t TickCountMs() const override {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
};

// Never destroyed: threads and static destructors may still ask for the time
// while the process exits.
const RealClock& RealClockInstance() {
  static const RealClock* clock = new RealClock;
  return *clock;
}
std::atomic<const Clock*> g_clock{nullptr};

}  // namespace

const Clock& SystemClock() { return RealClockInstance(); }

const Clock& CurrentClock() {
  const Clock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : RealClockInstance();
}

const Clock* SetClockForTesting(const Clock* clock) { return g_clock.exchange(clock, std::memory_order_acq_rel); }

}  // namespace platform
