#include "platform/manual_reset_event.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

using std::chrono::milliseconds;

TEST(ManualResetEvent, StaysSetUntilReset) {
  ManualResetEvent e;
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(milliseconds(10)));
  e.Set();
  e.Set();
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(milliseconds(0)));
  EXPECT_TRUE(e.Wait());  // still set: a manual-reset event wakes every waiter
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  e.Reset();  // resetting a clear event must not block
  EXPECT_FALSE(e.IsSet());
}

TEST(ManualResetEvent, WaitForAnyReportsLowestSetIndexOrTimeout) {
  ManualResetEvent a, b, c;
  EXPECT_EQ(WaitForAny({&a, &b, &c}, milliseconds(5)), kWaitTimeout);
  c.Set();
  b.Set();
  EXPECT_EQ(WaitForAny({&a, &b, &c}, milliseconds(-1)), 1);
  std::jthread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    a.Set();
  });
  b.Reset();
  c.Reset();
  EXPECT_EQ(WaitForAny({&b, &a}, milliseconds(5000)), 1);
}

}  // namespace
}  // namespace platform
