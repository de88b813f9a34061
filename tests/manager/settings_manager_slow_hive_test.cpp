// A hive whose disk is slow never delays another user. The storage holds one
// call of user A's files (a save, a reload, the first load) until the test
// lets it go; meanwhile requests of other users, the update loop's wait
// computation and the worker's duties must complete. They normally take
// microseconds; only a stall reaches the hang guard.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "manager/settings_manager_test_support.h"

namespace manager_testing {
namespace {

class SlowHiveTest : public ManagerTest {};

TEST_F(SlowHiveTest, OneUsersSlowDiskHoldsUpNobodyElse) {
  // `slow` is user A's slow work, on a thread of its own.
  const struct { const char* name; SlowStorage::Fault fault; bool first_load; std::function<void()> slow; } cases[] = {
      {"save", SlowStorage::kHoldSaves, false, [this] { manager_->ProcessHives(); }},
      {"reload", SlowStorage::kHoldLoads, false, [this] { manager_->RescheduleNextUpdateCheck(); }},
      {"first load", SlowStorage::kHoldLoads, true, [this] { Result(Request(MessageType::AccessCheck), kAlice); }},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool first_load = c.first_load;
    MakeManager();
    ASSERT_EQ(SetValue("", "b", 1, kBob), 0u);
    ASSERT_EQ(first_load ? 0u : SetValue("", "a", 1, kAlice), 0u);
    storage_.Arm(kAlice, c.fault);
    const int loads_before = storage_.local_loads();
    auto slow = std::async(std::launch::async, c.slow);
    ASSERT_TRUE(storage_.AwaitHeld());

    const std::string newcomer = "S-1-22-1-" + std::to_string(4000 + round++);
    std::vector<std::function<bool()>> probes = {
        [&] { return Result(Request(MessageType::GetValue, "", "b"), kBob) == 0; },
        [&] { return SetValue("", "b", 2, kBob) == 0; },
        [&] { return Result(Request(MessageType::AccessCheck), newcomer) == 0; },
        [&] {
          std::shared_ptr<Settings> due;
          manager_->GetNextWait(due);
          return true;
        },
        [&] { return manager_->RemoveInactiveHives(), true; },
    };
    // A's own requests wait only for the first load (for the same load,
    // not a second one); a save or reload does not hold A's readers.
    probes.push_back([&] { return SetValue("", "during", 2, kAlice) == 0; });
    std::vector<std::future<bool>> running;
    for (auto& probe : probes) running.push_back(std::async(std::launch::async, probe));
    for (size_t i = 0; i + (first_load ? 1 : 0) < running.size(); ++i) {
      EXPECT_EQ(running[i].wait_for(kHangGuard), std::future_status::ready) << "probe " << i;
    }
    storage_.Release();
    for (auto& done : running) EXPECT_TRUE(done.get());
    slow.get();

    auto alice = FindHive(kAlice);
    ASSERT_NE(alice, nullptr);
    EXPECT_EQ(storage_.local_loads() - loads_before, first_load ? 1 : 0) << "one load for both requests";
    // A change made while the file was written is not lost: the hive stays
    // dirty, and the next save has it.
    if (c.fault == SlowStorage::kHoldSaves) {
      EXPECT_TRUE(alice->dirty());
    }
    manager_->ProcessHives();
    EXPECT_EQ(storage_.LoadLocal("tarn", kAlice)["local"]["during"], 2);
  }

  // A load that fails leaves no placeholder behind: the next request loads again.
  storage_.Arm("S-1-22-1-4999", SlowStorage::kFailLoads);
  EXPECT_EQ(Result(Request(MessageType::AccessCheck), "S-1-22-1-4999"), 1u);
  storage_.Release();
  EXPECT_EQ(Result(Request(MessageType::AccessCheck), "S-1-22-1-4999"), 0u);
}

}  // namespace
}  // namespace manager_testing
