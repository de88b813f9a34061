#include "manager/statistics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "manager/request_timer.h"
#include "support/fake_clock.h"
#include "support/scoped_env.h"

namespace {

using nlohmann::json;

constexpr uint64_t kMs = 1'000'000;  // nanoseconds
constexpr uint64_t kSecond = 1000 * kMs;

// The monotonic time the statistics see; tests move it by hand.
std::atomic<uint64_t> g_monotonic{5 * kSecond};
uint64_t FakeMonotonic() { return g_monotonic.load(); }

class StatisticsTest : public testing::Test {
 protected:
  testing_support::ScopedTimeZone tz_{"UTC0"};

  // One measured operation that takes `ns` of monotonic time.
  void Measure(uint32_t type, const std::string& originator, uint64_t ns) {
    RequestTimer timer(&statistics_, type, originator);
    g_monotonic += ns;
  }

  testing_support::ScopedFakeClock clock_;  // wall time 2023-11-14 22:13:20 UTC
  Statistics statistics_{&FakeMonotonic};
};

TEST_F(StatisticsTest, ReportSumsPerTypeAndPerOriginator) {
  statistics_.SetCollecting(true);
  Measure(2, "a", 1500 * 1000);  // 1.5 ms -> 2
  Measure(2, "a", 3 * kMs);
  Measure(2, "b", 200 * 1000);  // 0.2 ms -> 1
  Measure(3, "a", 10 * kMs);
  Measure(Statistics::kBaseUpdateType, "", 40 * kMs);
  Measure(17, "b", kMs);  // types without a name (Logout here) share "Unknown"
  clock_->Advance(3'723'000);  // 1 h 2 min 3 s

  const json expected = json::parse(R"({
    "by_type": {
      "GetValue": {"total_count": 3, "total_duration": 6, "a": {"count": 2, "duration": 5},
                   "b": {"count": 1, "duration": 1}},
      "SetValue": {"total_count": 1, "total_duration": 10, "a": {"count": 1, "duration": 10}},
      "base_update": {"total_count": 1, "total_duration": 40, "": {"count": 1, "duration": 40}},
      "Unknown": {"total_count": 1, "total_duration": 1, "b": {"count": 1, "duration": 1}}
    },
    "by_originator": {
      "a": {"total_count": 3, "total_duration": 15, "GetValue": {"count": 2, "duration": 5},
            "SetValue": {"count": 1, "duration": 10}},
      "b": {"total_count": 2, "total_duration": 2, "GetValue": {"count": 1, "duration": 1},
            "Unknown": {"count": 1, "duration": 1}},
      "": {"total_count": 1, "total_duration": 40, "base_update": {"count": 1, "duration": 40}}
    },
    "start": "2023-11-14 22:13:20",
    "finish": "2023-11-14 23:15:23"
  })");
  EXPECT_EQ(statistics_.SetCollecting(false), expected);
}

TEST_F(StatisticsTest, DurationsAreRoundedUpToMilliseconds) {
  for (const auto& [ns, ms] : std::vector<std::pair<uint64_t, uint64_t>>{
           {0, 0}, {1, 1}, {200'000, 1}, {kMs, 1}, {kMs + 1, 2}, {2'500'000, 3}, {60 * kSecond, 60'000}}) {
    SCOPED_TRACE(ns);
    statistics_.SetCollecting(true);
    Measure(2, "a", ns);
    EXPECT_EQ(statistics_.SetCollecting(false)["by_type"]["GetValue"]["a"]["duration"], ms);
  }
  // A clock that went backwards measures nothing rather than years.
  EXPECT_EQ(RequestTimer::DurationMs(2000, 1000), 0u);
}

TEST_F(StatisticsTest, OnlyARunningSessionRecordsAndATimerMayOutliveItsSession) {
  Measure(2, "a", kMs);
  { RequestTimer no_statistics(nullptr, 2, "a"); }
  g_monotonic += 120 * kSecond;
  EXPECT_TRUE(statistics_.PeriodicReport().is_null());
  EXPECT_TRUE(statistics_.Stop().is_null());
  statistics_.SetCollecting(true);
  auto open = std::make_unique<RequestTimer>(&statistics_, 2, "late");
  Measure(3, "b", kMs);
  const json report = statistics_.SetCollecting(false);
  EXPECT_EQ(report["by_originator"], json::parse(R"({"b": {"total_count": 1, "total_duration": 1,
      "SetValue": {"count": 1, "duration": 1}}})")) << "a session holds only what it saw end";
  statistics_.SetCollecting(true);
  open.reset();  // records into the stopped session, which goes with it
  EXPECT_EQ(statistics_.Stop()["by_originator"], json::object());
  // Nor does a timer need the Statistics to outlive it.
  auto statistics = std::make_unique<Statistics>(&FakeMonotonic);
  statistics->SetCollecting(true);
  open = std::make_unique<RequestTimer>(statistics.get(), 2, "late");
  statistics.reset();
}

TEST_F(StatisticsTest, PeriodicReportsComeAMinuteApartAndAreCumulative) {
  g_monotonic += 30 * kSecond;  // the minute starts with the session, not with the object
  EXPECT_TRUE(statistics_.SetCollecting(true).is_null());
  Measure(2, "a", kMs);
  g_monotonic += 59 * kSecond;
  EXPECT_TRUE(statistics_.PeriodicReport().is_null());
  // Switching on again keeps the running session and its report clock.
  EXPECT_TRUE(statistics_.SetCollecting(true).is_null());
  g_monotonic += kSecond - 2 * kMs;  // one ms short of a minute since the session started
  EXPECT_TRUE(statistics_.PeriodicReport().is_null());
  g_monotonic += kMs;
  const json first = statistics_.PeriodicReport();
  ASSERT_TRUE(first.is_object());
  EXPECT_EQ(first["by_type"]["GetValue"]["total_count"], 1);
  EXPECT_TRUE(statistics_.PeriodicReport().is_null());  // the minute starts again

  // The session keeps counting after a periodic report.
  Measure(2, "a", kMs);
  g_monotonic += 60 * kSecond;
  const json second = statistics_.PeriodicReport();
  ASSERT_TRUE(second.is_object());
  EXPECT_EQ(second["by_type"]["GetValue"]["total_count"], 2);
  EXPECT_EQ(second["start"], first["start"]);
}

TEST_F(StatisticsTest, ReportsStayWritableWhateverTheOriginatorIsCalled) {
  statistics_.SetCollecting(true);
  Measure(2, "bad\xFF", kMs);
  Measure(2, "", kMs);
  Measure(2, "total_count", kMs);
  // "\u00e9" takes bytes 63 and 64 of a long name: the name is cut before it.
  Measure(2, std::string(63, 'x') + "\xC3\xA9" + "tail", kMs);
  auto session = statistics_.CurrentSession();
  session->Record(3, "big", std::numeric_limits<uint64_t>::max());
  session->Record(3, "big", 5);

  const json report = statistics_.Stop();
  EXPECT_NO_THROW(report.dump());
  // Text that is not UTF-8 is counted as "", like any text that cannot be converted.
  EXPECT_EQ(report["by_type"]["GetValue"][""]["count"], 2);
  // The totals stay numbers even when an originator carries their name.
  EXPECT_EQ(report["by_type"]["GetValue"]["total_count"], 4);
  EXPECT_TRUE(report["by_originator"].contains(std::string(63, 'x')));
  EXPECT_EQ(report["by_originator"]["total_count"]["GetValue"]["count"], 1);
  // Durations stop at their maximum instead of wrapping to small numbers.
  EXPECT_EQ(report["by_type"]["SetValue"]["big"]["duration"], std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(report["by_type"]["SetValue"]["total_duration"], std::numeric_limits<uint64_t>::max());
}

// Timers end on many threads while reports are taken: nothing is lost while
// a session runs; then while sessions start and stop (run under TSan too).
TEST(StatisticsThreadsTest, ConcurrentTimersAreAllCountedAndSessionsMayStopMeanwhile) {
  Statistics statistics;
  constexpr int kThreads = 4, kTimers = 5000;
  for (const bool switching : {false, true}) {
    SCOPED_TRACE(switching ? "switching" : "collecting");
    statistics.SetCollecting(true);
    std::atomic<bool> running{true};
    std::thread other([&] {
      for (int i = 0; running; ++i) switching ? statistics.SetCollecting(i % 2 == 0) : statistics.PeriodicReport();
    });
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&statistics, t] {
          const std::string originator = "channel-" + std::to_string(t % 2);
          for (int i = 0; i < kTimers; ++i) RequestTimer timer(&statistics, 2 + i % 3, originator);
        });
      }
    }
    running = false;
    other.join();
    const json report = statistics.Stop();
    if (switching) continue;  // what a stopped session held is gone with it
    uint64_t total = 0;
    for (const auto& [name, member] : report["by_type"].items()) total += member["total_count"].get<uint64_t>();
    EXPECT_EQ(total, uint64_t{kThreads} * kTimers);
    EXPECT_EQ(report["by_originator"]["channel-0"]["total_count"], 2 * kTimers);
  }
}

}  // namespace
