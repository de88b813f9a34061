#include "server/update_schedule.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <vector>

namespace {

using nlohmann::json;
constexpr int64_t kNow = 1'700'000'000;

TEST(UpdateScheduleTest, EachStatusHasItsDelayAndBackOff) {
  struct Case {
    uint32_t code;
    int64_t poll_interval;
    double jitter;
    int64_t delay;       // next check - now
    int64_t not_before;  // floor - now
  };
  const Case cases[] = {
      {0, 172800, 0.1, 0, 0},
      {1, 172800, 0.1999, 172800 + 34542, 30},
      {2, 172800, 0.1, 172800 + 17280, 0},
      {4, 172800, 0.1, 66, 5},
      {6, 172800, 0.0, 10, 5},
      {8, 600, 0.1, 660, 30},
      {7, 10, 0.1, 30, 30},       // never before the back-off
      {2, -50, 0.1, 0, 0},        // a negative interval does not schedule into the past
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << c.code << ", interval " << c.poll_interval);
    UpdateSchedule schedule(1);
    schedule.set_poll_interval(c.poll_interval);
    schedule.SetJitterForTesting(c.jitter);
    const UpdateSchedule::Delays delays = schedule.Set(c.code, kNow);
    EXPECT_EQ(schedule.next_check() - kNow, c.delay);
    EXPECT_EQ(schedule.not_before() == 0 ? 0 : schedule.not_before() - kNow, c.not_before);
    EXPECT_EQ(delays.backoff, c.not_before);
    EXPECT_EQ(schedule.last_status(), c.code);
  }
}

TEST(UpdateScheduleTest, TheBackOffFloorOnlyGrowsUntilSomeoneAsks) {
  UpdateSchedule schedule(1);
  schedule.SetJitterForTesting(0.0);
  schedule.set_poll_interval(2);
  schedule.Set(UpdateSchedule::kStatusUnauthorized, kNow);  // back-off 5
  EXPECT_EQ(schedule.next_check(), kNow + 10);
  schedule.Set(UpdateSchedule::kStatusFetched, kNow);  // 2 s, no back-off of its own
  EXPECT_EQ(schedule.next_check(), kNow + 5);
  schedule.SetDueNow(kNow + 1);
  EXPECT_EQ(schedule.next_check(), kNow + 1);
  EXPECT_EQ(schedule.last_status(), UpdateSchedule::kStatusDueNow);
  schedule.Set(UpdateSchedule::kStatusFetched, kNow + 1);
  EXPECT_EQ(schedule.next_check(), kNow + 3) << "the floor went with the request";
}

TEST(UpdateScheduleTest, AStoredNextCheckIsBelievedOnlyWithinAWeek) {
  const struct {
    const char* name;
    json stored;
    int64_t expected;
  } cases[] = {
      {"exactly 7 days ahead", kNow + 604800, kNow + 604800},
      {"one second more", kNow + 604801, kNow},
      {"in the past", kNow - 100, kNow - 100},
      {"a text", "soon", kNow},
      {"a fraction", static_cast<double>(kNow) + 10.75, kNow + 10},
      {"far beyond 64 bits", 1e300, kNow},
      {"beyond 63 bits unsigned", uint64_t{1} << 63, kNow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateSchedule schedule(1);
    schedule.Restore(&c.stored, kNow);
    EXPECT_EQ(schedule.next_check(), c.expected);
  }
  UpdateSchedule missing(1);
  missing.Restore(nullptr, kNow);
  EXPECT_EQ(missing.next_check(), kNow);
}

TEST(UpdateScheduleTest, JitterIsBelowOneFifth) {
  UpdateSchedule schedule(7);
  std::vector<double> first;
  for (int i = 0; i < 2000; ++i) {
    const double f = schedule.NextJitter();
    ASSERT_GE(f, 0.0);
    ASSERT_LT(f, 0.2);
    first.push_back(f);
  }
  EXPECT_LT(*std::min_element(first.begin(), first.end()), 0.01);
  EXPECT_GT(*std::max_element(first.begin(), first.end()), 0.19);
}

}  // namespace
