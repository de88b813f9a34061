// The manager's scheduling, the late-bound system base and dropping idle
// hives. The threads that run them are exercised by the integration tests.
#include <gtest/gtest.h>

#include <filesystem>

#include "manager/settings_manager_test_support.h"
#include "platform/sqlite_registry.h"

namespace manager_testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// A server connection whose random draw is always `r`, so that back-off times are known.
class FixedRandomServerComm : public ServerComm {
 public:
  FixedRandomServerComm(platform::ManualResetEvent& stop_event, uint32_t r)
      : ServerComm("test-identity", stop_event, SettingsManager::kUserAgent), r_(r) {}
  uint32_t SecureRandom() override { return r_; }

 private:
  const uint32_t r_;
};

json Base(const json& schema, const json& values) { return {{"data", {{"eff_schema", schema}, {"values", values}}}}; }

class ScheduleTest : public ManagerTest {
 protected:
  void TearDown() override { SetLatebound({}); }
  // Registers the late-bound folder `directory` (empty: none) and returns
  // the system base file's path there.
  fs::path SetLatebound(const fs::path& directory) {
    constexpr char kKey[] = "SOFTWARE\\Halvern\\NS\\test-identity\\Latebound";
    SqliteRegistry registry(testing_support::TestRegistry());
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    registry.SetView(KEY_WOW64_32KEY);
    if (directory.empty()) return registry.DeleteValue(kKey, "LateboundPath"), fs::path();
    EXPECT_TRUE(registry.CreateKeyPath(kKey) && registry.SetString(kKey, "LateboundPath", directory.string()));
    fs::create_directories(directory / "100" / "settings");
    return directory / "100" / "settings" / "tarn.velder";
  }
};

TEST_F(ScheduleTest, NextWaitFollowsTheEarliestHiveAndTheServerBackoff) {
  // r = 4: the back-off after a missing server address is 4 mod 5120 + 1 = 5 s.
  MakeManager(std::make_unique<FixedRandomServerComm>(stop_event_, 4));
  std::shared_ptr<Settings> due;
  EXPECT_EQ(manager_->GetNextWait(due), SettingsManager::kInfiniteWait) << "no hive: wait for an event only";
  EXPECT_EQ(due, nullptr);
  // Fresh hives without a base are due at once; of equal ones the first wins.
  auto first = manager_->GetOrCreateHive(kAlice);
  auto second = manager_->GetOrCreateHive(kBob);
  manager_->Wake();
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds(0));
  EXPECT_EQ(due, first);
  EXPECT_FALSE(manager_->wake_event().IsSet()) << "reset before the wait is computed";
  // A back-off ending after the earliest next check sets the wait.
  manager_->server_comm().UpdateSettings(*first, "token");
  ASSERT_EQ(manager_->server_comm().backoff_until(), Now() + 5);
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds(5000));
  // A back-off that ends first does not: the earliest hive does.
  first->SetNextUpdateCheck(UpdateSchedule::kStatusNotConnected);
  second->SetNextUpdateCheck(UpdateSchedule::kStatusUnauthorized);
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds((second->next_check() - Now()) * 1000));
  EXPECT_EQ(due, second);
  // Once passed, neither counts: a hive overdue by a minute is due now.
  clock_->Advance(second->next_check() * 1000 - clock_->NowMilliseconds() + 60000);
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds(0));
}

TEST_F(ScheduleTest, EachTokenAnswerSchedulesTheHiveAccordingly) {
  const std::tuple<uint32_t, uint32_t, int64_t, int64_t> cases[] = {
      // code, status, earliest and latest next check (seconds from now)
      {QOR_CLIENT_AUTH_NO_TOKEN, UpdateSchedule::kStatusNotConnected, 2592000, 3110400},
      {QOR_CLIENT_AUTH_TOKEN_MALFORMED, UpdateSchedule::kStatusUnauthorized, 10, 12},
      {QOR_CLIENT_AUTH_STORE_UNAVAILABLE, UpdateSchedule::kStatusUnauthorized, 10, 12},
      {QOR_CLIENT_AUTH_TOKEN_REJECTED, UpdateSchedule::kStatusFailed, 900, 1080},
      {99, UpdateSchedule::kStatusBaseRejected, 900, 1080},
  };
  for (const auto& [code, status, earliest, latest] : cases) {
    SCOPED_TRACE(code);
    const std::string user = "S-1-22-1-" + std::to_string(3000 + code);
    tokens_->Answer(user, code);
    auto hive = manager_->GetOrCreateHive(user);
    manager_->UpdateSettings(hive);
    EXPECT_EQ(hive->last_status_code(), status);
    EXPECT_GE(hive->next_check(), Now() + earliest);
    EXPECT_LE(hive->next_check(), Now() + latest);
    EXPECT_TRUE(hive->dirty());
    EXPECT_EQ(manager_->server_comm().fail_count(), 0u) << "no exchange was tried";
  }
  // With a token, the exchange is tried: without a server address it backs
  // off for long and leaves the hive's schedule alone.
  tokens_->Answer(kAlice, QOR_CLIENT_AUTH_OK);
  auto hive = manager_->GetOrCreateHive(kAlice);
  const int64_t next_check = hive->next_check();
  manager_->UpdateSettings(hive);
  EXPECT_EQ(manager_->server_comm().fail_count(), ServerComm::kFatalFailCount);
  EXPECT_EQ(hive->next_check(), next_check);
}

TEST_F(ScheduleTest, SystemSettingsConfigureTheExchange) {
  stop_event_.Set();  // a stopping service sends nothing: no request leaves this machine
  tokens_->Answer(kAlice, QOR_CLIENT_AUTH_OK);
  auto hive = manager_->GetOrCreateHive(kAlice);
  struct Case {
    json poll, server, port, patch;
    int64_t expected_poll;
    std::string expected_host;
    uint16_t expected_port;
    bool expected_patch;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, nullptr, 172800, "", 443, true},
      {3600.9, "settings.example", 8443, false, 3600, "settings.example", 8443, false},
      {60, "h", "8443", true, 60, "h", 443, true},
      {60, "h", 70000, 1, 60, "h", 443, true},  // a port beyond 16 bits, a patch flag that is no boolean
      {4294967306ll, "h", 443, true, 172800, "h", 443, true},  // an interval beyond 32 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.poll.dump());
    SetSystemSetting(SettingsManager::kPollIntervalSetting, c.poll);
    SetSystemSetting(SettingsManager::kServerSetting, c.server);
    SetSystemSetting(SettingsManager::kPortSetting, c.port);
    SetSystemSetting(SettingsManager::kPatchEnabledSetting, c.patch);
    manager_->UpdateSettings(hive);
    EXPECT_EQ(hive->poll_interval(), c.expected_poll);
    EXPECT_EQ(manager_->server_comm().host(), c.expected_host);
    EXPECT_EQ(manager_->server_comm().port(), c.expected_port);
    EXPECT_EQ(hive->patch_enabled(), c.expected_patch);
  }
  // A new interval reaches every hive at once.
  hive->SetNextUpdateCheck(UpdateSchedule::kStatusFetched);
  SetSystemSetting(SettingsManager::kPollIntervalSetting, 3600);
  manager_->RescheduleNextUpdateCheck();
  EXPECT_LE(hive->next_check(), Now() + 4320);
  EXPECT_EQ(FindHive(kSystem)->poll_interval(), 3600);
}

TEST_F(ScheduleTest, TheLateboundFileIsTheSystemBaseUntilTheServerSendsOne) {
  const fs::path file = SetLatebound(dir_.path() / "late");
  testing_support::WriteFile(file, "{\"data\": ");
  ASSERT_FALSE(manager_->UpdateSystemBaseFile()) << "a damaged file is no base";
  const json base = Base({{"color", {{"type", "string"}, {"default", "red"}}}}, {{"color", "blue"}});
  testing_support::WriteFile(file, base.dump());
  ASSERT_TRUE(manager_->UpdateSystemBaseFile());
  EXPECT_EQ(storage_.LoadBase("tarn", kSystem), base);
}

TEST_F(ScheduleTest, OnlyIdleUnusedAndSavedHivesAreDropped) {
  constexpr char kIdle[] = "S-1-22-1-2001", kSubscribed[] = "S-1-22-1-2002", kHeld[] = "S-1-22-1-2003",
                 kUnsaved[] = "S-1-22-1-2004", kRecent[] = "S-1-22-1-2005";
  for (const char* user : {kIdle, kSubscribed, kHeld, kUnsaved}) {
    ASSERT_EQ(Result(Request(MessageType::AccessCheck, user), kAlice, true), 0u);
  }
  ASSERT_EQ(Result(Request(MessageType::Subscribe, kSubscribed, "a"), kAlice, true, "watcher"), 0u);
  std::shared_ptr<Settings> held = manager_->GetOrCreateHive(kHeld);
  clock_->Advance(1000);
  ASSERT_EQ(Result(Request(MessageType::AccessCheck, kRecent), kAlice, true), 0u);  // 1200 s before the check
  manager_->ProcessHives();
  FindHive(kUnsaved)->MarkDirty(false);  // as a failed save leaves it
  clock_->Advance(1200 * 1000);
  manager_->RemoveInactiveHives();
  EXPECT_EQ(Users(), (std::vector<std::string>{kSubscribed, kHeld, kUnsaved, kRecent}));
  held.reset();
  manager_->ProcessHives();
  manager_->RemoveInactiveHives();
  EXPECT_EQ(Users(), (std::vector<std::string>{kSubscribed, kRecent}));
  EXPECT_TRUE(storage_.LoadLocal("tarn", kUnsaved).is_object());
}

}  // namespace
}  // namespace manager_testing
