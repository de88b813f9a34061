#include "support/fake_clock.h"

namespace testing_support {

FakeClock::FakeClock(int64_t now_ms) : now_ms_(now_ms) {}

}  // namespace testing_support
