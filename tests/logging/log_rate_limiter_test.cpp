#include "logging/log_rate_limiter.h"

#include <gtest/gtest.h>

namespace HvQorLogging {
namespace {

TEST(LogRateLimiter, EachClientHasItsOwnAllowanceAndLearnsWhatWasDropped) {
  LogRateLimiter limiter;
  uint64_t suppressed = 0;
  int written = 0;
  for (int i = 0; i < 25; ++i) written += limiter.Allow("S-1-22-1-1000", 5, suppressed);
  EXPECT_EQ(written, 20);
  EXPECT_TRUE(limiter.Allow("S-1-5-18", 5, suppressed)) << "another client is not held up";
  EXPECT_FALSE(limiter.Allow("S-1-22-1-1000", 5 + LogRateLimiter::kWindowMs - 1, suppressed));
  ASSERT_TRUE(limiter.Allow("S-1-22-1-1000", 5 + LogRateLimiter::kWindowMs, suppressed));
  EXPECT_EQ(suppressed, 6u);
  ASSERT_TRUE(limiter.Allow("S-1-22-1-1000", 5 + LogRateLimiter::kWindowMs, suppressed));
  EXPECT_EQ(suppressed, 0u);
}

}  // namespace
}  // namespace HvQorLogging
