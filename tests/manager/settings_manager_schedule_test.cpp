// The manager's scheduling, its threads, the late-bound system base and
// dropping idle hives.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include "manager/settings_manager_test_support.h"

namespace manager_testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr char kLateboundKey[] = "SOFTWARE\\Halvern\\NS\\test-identity\\Latebound";

// A manager whose update loop reports each wait it computes and each hive it
// synchronises.
class ObservedManager : public SettingsManager {
 public:
  using SettingsManager::SettingsManager;

  milliseconds GetNextWait(std::shared_ptr<Settings>& due_hive) override {
    const milliseconds wait = SettingsManager::GetNextWait(due_hive);
    std::lock_guard lock(mutex_);
    waits_.push_back(wait);
    changed_.notify_all();
    return wait;
  }

  void UpdateSettings(const std::shared_ptr<Settings>& hive) override {
    SettingsManager::UpdateSettings(hive);
    std::lock_guard lock(mutex_);
    updated_.push_back(hive->user());
    changed_.notify_all();
  }

  // Waits until `condition(waits, updated)` holds; false after 10 s.
  template <typename Condition>
  bool Await(Condition condition) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return condition(waits_, updated_); });
  }
  template <typename Condition>
  bool AwaitWait(Condition condition) {
    return Await([&](auto& waits, auto&) { return std::ranges::any_of(waits, condition); });
  }
  bool AwaitUpdated(const std::string& user) {
    return Await([&](auto&, auto& updated) { return std::ranges::find(updated, user) != updated.end(); });
  }
  std::vector<std::string> Updated() {
    std::lock_guard lock(mutex_);
    return updated_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<milliseconds> waits_;
  std::vector<std::string> updated_;
};

class ScheduleTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    for (const char* user : {kSystem, kAlice, kBob}) SetToken(user, "");
  }

  // Runs the main loop on a thread until StopLoop.
  void StartLoop() {
    loop_ = std::jthread([this] { manager_->MainLoop(); });
  }
  void StopLoop() {
    stop_event_.Set();
    loop_.join();
  }

  // Registers the late-bound folder `directory` (empty: none) and returns
  // the system base file's path there.
  fs::path SetLatebound(const fs::path& directory) {
    SqliteRegistry registry(TestEnvironment());
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    registry.SetView(KEY_WOW64_32KEY);
    if (directory.empty()) {
      registry.DeleteValue(kLateboundKey, "LateboundPath");
      return {};
    }
    EXPECT_TRUE(registry.CreateKeyPath(kLateboundKey) &&
                registry.SetString(kLateboundKey, "LateboundPath", directory.string()));
    fs::create_directories(directory / "100" / "settings");
    return directory / "100" / "settings" / "tarn.velder";
  }
  void TearDown() override {
    if (loop_.joinable()) StopLoop();
    SetLatebound({});
  }

  std::jthread loop_;
};

json Base(const json& schema, const json& values) { return {{"data", {{"eff_schema", schema}, {"values", values}}}}; }

TEST_F(ScheduleTest, NextWaitFollowsTheEarliestHiveAndTheServerBackoff) {
  // r = 4: the back-off after a missing server address is 4 mod 5120 + 1 = 5 s.
  MakeManager(std::make_unique<FixedRandomServerComm>(stop_event_, 4));
  std::shared_ptr<Settings> due;
  EXPECT_EQ(manager_->GetNextWait(due), SettingsManager::kInfiniteWait) << "no hive: wait for an event only";
  EXPECT_EQ(due, nullptr);

  // Fresh hives without a base are due at once; of equal ones the first wins.
  auto first = manager_->GetOrCreateHive(kAlice);
  auto second = manager_->GetOrCreateHive(kBob);
  ASSERT_EQ(first->next_check(), second->next_check());
  manager_->Wake();
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds(0));
  EXPECT_EQ(due, first);
  EXPECT_FALSE(manager_->wake_event().IsSet()) << "reset before the wait is computed";

  // A back-off ending after the earliest next check sets the wait.
  manager_->server_comm().UpdateSettings(*first, "token");
  ASSERT_EQ(manager_->server_comm().backoff_until(), Now() + 5);
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds(5000));

  // A back-off that ends first does not: the earliest hive does.
  first->SetNextUpdateCheck(Settings::kStatusNotConnected);
  second->SetNextUpdateCheck(Settings::kStatusUnauthorized);
  ASSERT_LT(second->next_check(), first->next_check());
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds((second->next_check() - Now()) * 1000));
  EXPECT_EQ(due, second);

  // Once passed, neither counts: a hive overdue by a minute is due now.
  clock_->Advance(second->next_check() * 1000 - clock_->NowMilliseconds() + 60000);
  EXPECT_EQ(manager_->GetNextWait(due), milliseconds(0));
  EXPECT_EQ(due, second);
}

TEST_F(ScheduleTest, EachTokenAnswerSchedulesTheHiveAccordingly) {
  struct Case {
    const char* name;
    std::string user;
    std::string token;
    bool reject;  // the token was refused before
    uint32_t status;
    int64_t earliest, latest;  // the next check, seconds from now
  };
  const Case cases[] = {
      {"signed out", "S-1-22-1-3001", "", false, Settings::kStatusNotConnected, 2592000, 3110400},
      {"malformed token", "S-1-22-1-3002", "two words", false, Settings::kStatusUnauthorized, 10, 12},
      {"rejected token", "S-1-22-1-3003", "tok.3003", true, Settings::kStatusFailed, 900, 1080},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetToken(c.user, c.token);
    if (c.reject) {
      ASSERT_EQ(maker::QorClientAuth_RefreshToken(c.user.c_str()), 0u);
    }
    auto hive = manager_->GetOrCreateHive(c.user);
    manager_->UpdateSettings(hive);
    EXPECT_EQ(hive->last_status_code(), c.status);
    EXPECT_GE(hive->next_check(), Now() + c.earliest);
    EXPECT_LE(hive->next_check(), Now() + c.latest);
    EXPECT_TRUE(hive->dirty());
    EXPECT_EQ(manager_->server_comm().fail_count(), 0u) << "no exchange was tried";
  }

  // With a token, the exchange is tried: without a server address it backs
  // off for long and leaves the hive's schedule alone.
  SetToken(kAlice, "tok.alice");
  auto hive = manager_->GetOrCreateHive(kAlice);
  const int64_t next_check = hive->next_check();
  manager_->UpdateSettings(hive);
  EXPECT_EQ(manager_->server_comm().fail_count(), ServerComm::kFatalFailCount);
  EXPECT_EQ(hive->next_check(), next_check);
}

TEST_F(ScheduleTest, SystemSettingsConfigureTheExchange) {
  SetToken(kAlice, "tok.alice");
  auto hive = manager_->GetOrCreateHive(kAlice);
  struct Case {
    const char* name;
    json poll, server, port, patch;
    int64_t expected_poll;
    std::string expected_host;
    uint16_t expected_port;
    bool expected_patch;
    std::string log;
  };
  const Case cases[] = {
      {"defaults", nullptr, nullptr, nullptr, nullptr, 172800, "", 443, true, ""},
      {"all set", 3600, "settings.example", 8443, false, 3600, "settings.example", 8443, false,
       "ServerComm::SetServerAddress: settings.example:8443"},
      {"port as text", 3600.9, "h", "8443", true, 3600, "h", 443, true,
       "SettingsManager::InternalGetSystemSettingInt: Cannot convert 'windows.velder.port' to int: "
       "[json.exception.type_error.302] type must be number, but is string"},
      {"port beyond 16 bits", 60, "h", 70000, true, 60, "h", 443, true, "Port 70000 of 'windows.velder.port' is no port"},
      {"patch flag as a number", -5, "h", 1, 1, -5, "h", 1, true,
       "Cannot convert 'windows.velder.patch_enabled' to bool: [json.exception.type_error.302] type must be boolean, "
       "but is number"},
      {"poll interval beyond 32 bits", 4294967306ll, 5, 443, false, 172800, "", 443, false,
       "Cannot convert 'windows.velder.poll_interval' to int"},
      {"fraction beyond 32 bits", 3e10, "h", 443, true, 172800, "h", 443, true, "to int: 30000000000.0 is out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::pair<const char*, json> settings[] = {{SettingsManager::kPollIntervalSetting, c.poll},
                                                     {SettingsManager::kServerSetting, c.server},
                                                     {SettingsManager::kPortSetting, c.port},
                                                     {SettingsManager::kPatchEnabledSetting, c.patch}};
    for (const auto& [path, value] : settings) {
      if (value.is_null()) {
        Result(Request(MessageType::DeleteValue, kSystem, path), kSystem, true);
      } else {
        SetSystemSetting(path, value);
      }
    }
    LogCapture log;
    manager_->UpdateSettings(hive);
    EXPECT_EQ(hive->poll_interval(), c.expected_poll);
    EXPECT_EQ(manager_->server_comm().host(), c.expected_host);
    EXPECT_EQ(manager_->server_comm().port(), c.expected_port);
    EXPECT_EQ(hive->patch_enabled(), c.expected_patch);
    EXPECT_TRUE(log.Contains(c.log)) << log.Text();
  }
}

TEST_F(ScheduleTest, NewPollIntervalReachesEveryHive) {
  auto alice = manager_->GetOrCreateHive(kAlice);
  alice->SetNextUpdateCheck(Settings::kStatusFetched);
  ASSERT_GE(alice->next_check(), Now() + 172800);
  SetSystemSetting(SettingsManager::kPollIntervalSetting, 3600);
  manager_->RescheduleNextUpdateCheck();
  EXPECT_EQ(alice->poll_interval(), 3600);
  EXPECT_GE(alice->next_check(), Now() + 3600);
  EXPECT_LE(alice->next_check(), Now() + 4320);
  ASSERT_NE(FindHive(kSystem), nullptr);
  EXPECT_EQ(FindHive(kSystem)->poll_interval(), 3600);
}

TEST_F(ScheduleTest, LateboundFileBecomesTheSystemBaseAndReachesUsersWithoutABase) {
  ASSERT_FALSE(manager_->UpdateSystemBaseFile()) << "no late-bound directory registered";
  const fs::path file = SetLatebound(dir_.path() / "late");
  ASSERT_FALSE(manager_->UpdateSystemBaseFile()) << "registered, but no file there";
  testing_support::WriteFile(file, "{\"data\": ");
  ASSERT_FALSE(manager_->UpdateSystemBaseFile()) << "a damaged file is no base";
  EXPECT_EQ(storage_.LoadBase("tarn", kSystem), json());

  const json base = Base({{"color", {{"type", "string"}, {"default", "red"}}}}, {{"color", "blue"}});
  testing_support::WriteFile(file, base.dump());
  ASSERT_TRUE(manager_->notifier().Start());
  ASSERT_EQ(Result(Request(MessageType::Subscribe, "", "color"), kAlice, false, "watcher"), 0u);
  ASSERT_TRUE(manager_->UpdateSystemBaseFile());
  EXPECT_EQ(storage_.LoadBase("tarn", kSystem), base);
  EXPECT_EQ(Send(Request(MessageType::GetValue, kSystem, "color"), kAlice).value(), "blue");
  // Alice has no base of her own: she sees the system's, and hears of it.
  EXPECT_EQ(Send(Request(MessageType::GetValue, "", "color"), kAlice).value(), "blue");
  ASSERT_TRUE(sender_->delivered.Wait(std::chrono::seconds(10)));
  const auto sent = sender_->Take();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].channel, "watcher");
  EXPECT_EQ(sent[0].message.path(), "color");
}

TEST_F(ScheduleTest, LateboundFileNeverReplacesTheServersCopy) {
  ASSERT_EQ(storage_.SaveLocal("tarn", kSystem, {{"metadata", {{"etag", "\"e1\""}}}}), Storage::kStatusOk);
  const json server_base = Base({{"color", {{"type", "string"}}}}, {{"color", "server"}});
  ASSERT_EQ(storage_.SaveBase("tarn", kSystem, server_base), Storage::kStatusOk);
  testing_support::WriteFile(SetLatebound(dir_.path() / "late"),
                             Base({{"color", {{"type", "string"}}}}, {{"color", "late"}}).dump());
  EXPECT_FALSE(manager_->UpdateSystemBaseFile());
  EXPECT_EQ(storage_.LoadBase("tarn", kSystem), server_base);
}

TEST_F(ScheduleTest, IdleServiceSleepsUntilSomethingIsDue) {
  // Signed out: the system hive is tried once and then waits 30 days.
  auto& manager = MakeManager<ObservedManager>();
  StartLoop();
  EXPECT_TRUE(manager.AwaitWait([](milliseconds wait) { return wait > std::chrono::hours(24 * 29); }));
  EXPECT_EQ(manager.Updated(), std::vector<std::string>{kSystem});
  // A wake only recomputes the wait.
  size_t computed = 0;
  manager.Await([&](auto& waits, auto&) { return computed = waits.size(), true; });
  manager.Wake();
  EXPECT_TRUE(manager.Await([&](auto& waits, auto&) { return waits.size() > computed; }));
  StopLoop();
  EXPECT_EQ(manager.Updated(), std::vector<std::string>{kSystem});
}

TEST_F(ScheduleTest, UnsetServerBacksOffInsteadOfRetrying) {
  SetToken(kSystem, "tok.system");
  // r = 5119: every back-off is the longest, 5120 s.
  auto& manager = MakeManager<ObservedManager>(std::make_unique<FixedRandomServerComm>(stop_event_, 5119));
  StartLoop();
  EXPECT_TRUE(manager.AwaitWait([](milliseconds wait) { return wait == milliseconds(5120 * 1000); }));
  StopLoop();
  EXPECT_EQ(manager.Updated(), std::vector<std::string>{kSystem});
  EXPECT_EQ(manager.server_comm().fail_count(), ServerComm::kFatalFailCount);
  SetToken(kSystem, "");
}

TEST_F(ScheduleTest, StopRunsTheWorkersLastPass) {
  auto& manager = MakeManager<ObservedManager>();
  manager.SetWorkerPeriodForTesting(std::chrono::hours(1));
  StartLoop();
  ASSERT_EQ(SetValue("", "kept", 1, kBob), 0u);
  ASSERT_EQ(SetValue("", "x", 1, kAlice), 0u);
  ASSERT_EQ(Result(Request(MessageType::Subscribe, "", "x"), kAlice, false, "watcher"), 0u);
  // Both new hives are due at once; once tried (signed out), all is quiet.
  ASSERT_TRUE(manager.AwaitUpdated(kBob));
  ASSERT_TRUE(manager.AwaitUpdated(kAlice));
  clock_->Advance(1201 * 1000);
  StopLoop();
  // Bob's idle hive was saved and dropped; Alice's is kept for her subscriber.
  EXPECT_EQ(storage_.LoadLocal("tarn", kBob)["local"]["kept"], 1);
  EXPECT_EQ(storage_.LoadLocal("tarn", kAlice)["local"]["x"], 1);
  EXPECT_EQ(FindHive(kBob), nullptr);
  EXPECT_NE(FindHive(kAlice), nullptr);
}

TEST_F(ScheduleTest, OnlyIdleUnusedAndSavedHivesAreDropped) {
  constexpr char kIdle[] = "S-1-22-1-2001";
  constexpr char kSubscribed[] = "S-1-22-1-2002";
  constexpr char kHeld[] = "S-1-22-1-2003";
  constexpr char kUnsaved[] = "S-1-22-1-2004";
  constexpr char kRecent[] = "S-1-22-1-2005";
  for (const char* user : {kIdle, kSubscribed, kHeld, kUnsaved}) {
    ASSERT_EQ(Result(Request(MessageType::AccessCheck, user), kAlice, true), 0u);
  }
  ASSERT_EQ(Result(Request(MessageType::Subscribe, kSubscribed, "a"), kAlice, true, "watcher"), 0u);
  std::shared_ptr<Settings> held = manager_->GetOrCreateHive(kHeld);
  clock_->Advance(1000);
  ASSERT_EQ(Result(Request(MessageType::AccessCheck, kRecent), kAlice, true), 0u);  // 1200 s before the check
  manager_->ProcessHives();
  // As a failed save leaves it.
  FindHive(kUnsaved)->MarkDirty(false);
  clock_->Advance(1200 * 1000);

  const auto users = [&] {
    std::vector<std::string> list;
    for (const auto& hive : manager_->Hives()) list.push_back(hive->user());
    return list;
  };
  LogCapture log;
  manager_->RemoveInactiveHives();
  EXPECT_EQ(users(), (std::vector<std::string>{kSubscribed, kHeld, kUnsaved, kRecent}));
  EXPECT_TRUE(log.Contains("Settings::IsInactive: INACTIVE - product 'tarn', hive 'S..-1-2001'")) << log.Text();

  held.reset();
  manager_->ProcessHives();
  manager_->RemoveInactiveHives();
  EXPECT_EQ(users(), (std::vector<std::string>{kSubscribed, kRecent}));
  EXPECT_TRUE(storage_.LoadLocal("tarn", kUnsaved).is_object());
}

}  // namespace
}  // namespace manager_testing
