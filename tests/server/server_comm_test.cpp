#include "server/server_comm.h"

#include <gtest/gtest.h>

#include <memory>

#include "notify/change_notifier.h"
#include "store/settings.h"
#include "store/storage.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace {

// A connection whose random draw the test chooses.
class TestServerComm : public ServerComm {
 public:
  using ServerComm::ServerComm;
  using ServerComm::SetFailCount;

  uint32_t draw = 0;

 protected:
  uint32_t SecureRandom() override { return draw; }
};

class ServerCommTest : public testing::Test {
 protected:
  ServerCommTest() { hive_.Load(); }
  int64_t Now() const { return platform::CurrentClock().NowSeconds(); }

  testing_support::ScopedFakeClock clock_;
  testing_support::TempDir dir_;
  Storage storage_{dir_.path().string()};
  platform::ManualResetEvent stop_event_, update_event_;
  ChangeNotifier notifier_{stop_event_, "test-identity", nullptr};
  Settings hive_{"S-1-5-21-7", storage_, notifier_, update_event_, nullptr, "test-identity"};
  TestServerComm comm_{"test-identity", stop_event_, "agent/1"};
};

TEST(ServerCommBackoff, BoundsFollowTheFailureCountAndTheClampedPollInterval) {
  const struct {
    const char* name;
    uint32_t failures, poll_interval;
    uint32_t cap;  // the back-off lies in 1 ... cap; 0: no back-off
  } cases[] = {
      {"no failure", 0, 172800, 0},
      {"tenth failure, default poll interval", 10, 172800, 5120},
      {"limit reached", 11, 172800, 7200},
      {"doubling stops at the top bit", 40, 172800, 7200},
      {"short poll interval", 4, 30, 30},
      {"poll interval below the floor", 3, 5, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The smallest draw gives 1, the largest the cap, and r mod cap picks in between.
    EXPECT_EQ(ServerComm::BackoffSeconds(c.failures, c.poll_interval, 0), c.cap == 0 ? 0 : 1);
    EXPECT_EQ(ServerComm::BackoffSeconds(c.failures, c.poll_interval, c.cap == 0 ? 0 : c.cap - 1), c.cap);
    EXPECT_EQ(ServerComm::BackoffSeconds(c.failures, c.poll_interval, c.cap == 0 ? 5 : c.cap), c.cap == 0 ? 0 : 1);
    EXPECT_LE(ServerComm::BackoffSeconds(c.failures, c.poll_interval, UINT32_MAX), c.cap);
  }
}

TEST_F(ServerCommTest, BackoffIsStoredAsATime) {
  comm_.UpdateBackoffUntil(hive_);
  EXPECT_EQ(comm_.backoff_until(), Now()) << "no failure: no back-off, but the time is stored";
  hive_.SetPollInterval(-1);  // low 32 bits: the largest limit, 7200
  comm_.SetFailCount(13);
  comm_.draw = 7199;
  comm_.UpdateBackoffUntil(hive_);
  EXPECT_EQ(comm_.backoff_until(), Now() + 7200);
}

TEST_F(ServerCommTest, AStoppingServiceSendsNothingAndCountsNothing) {
  comm_.SetServerAddress("settings.example", 443);
  stop_event_.Set();
  comm_.SetFailCount(2);
  const int64_t before = comm_.backoff_until();
  EXPECT_EQ(comm_.UpdateSettings(hive_, "token"), ServerResult::Error);
  EXPECT_EQ(comm_.fail_count(), 2u);
  EXPECT_EQ(comm_.backoff_until(), before);
}

}  // namespace
