// Requests through SettingsManager::HandleRequest with real envelopes, a real
// Storage, a real change notifier and real hives.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "manager/settings_manager_test_support.h"

namespace manager_testing {
namespace {

class RequestsTest : public ManagerTest {
 protected:
  IpcMessage Get(const std::string& path, const std::string& user = "") {
    return Send(Request(MessageType::GetValue, user, path), kAlice);
  }
};

TEST_F(RequestsTest, RightsFollowTheCallerAndTheAddressedUser) {
  struct Case {
    const char* name;
    std::string user_field;
    std::string client;
    bool admin;
    uint32_t access;  // AccessCheck
    uint32_t write;   // SetValue
  };
  const Case cases[] = {
      {"administrator, another user's hive", kBob, kAlice, true, 0, 0},
      {"own hive by an empty user field", "", kAlice, false, 0, 0},
      {"own hive in lower case", "s-1-22-1-1001", kAlice, false, 0, 0},
      {"system hive in lower case, read only", "s-1-5-18", kAlice, false, 0, 5},
      {"another user's hive", "S-1-22-1-1003", kAlice, false, 5, 5},
      {"not a SID", "S-1-x", kAlice, false, 2, 2},
      {"a path in the user field", "S-1-5-18/../../etc", kAlice, true, 2, 2},
      {"a client without identity and no user field", "", "", false, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Result(Request(MessageType::AccessCheck, c.user_field), c.client, c.admin), c.access);
    EXPECT_EQ(SetValue(c.user_field, "x", 1, c.client, c.admin), c.write);
  }
  // Only the hives someone could read exist: the lower-case forms found the
  // upper-case hives, and refused or invalid users made none.
  EXPECT_EQ(Users(), (std::vector<std::string>{kBob, kAlice, kSystem}));
  EXPECT_EQ(storage_.LoadLocal("tarn", "S-1-22-1-1003"), json());
}

TEST_F(RequestsTest, ValuesAndConstraintsThroughRequests) {
  const std::pair<IpcMessage, uint32_t> refused[] = {
      {Request(MessageType::SetValue, "", "a."), 2},     // unparsable path
      {Request(MessageType::SetValue, "", "a"), 2},      // no value
      {Request(MessageType::DeleteValue, "", "none"), 10},
      {Request(MessageType::GetMetaData, "", "grp..k"), 2},
      {Request(MessageType::SetMetaData, "", "a b"), 2},
  };
  for (const auto& [request, result] : refused) EXPECT_EQ(Result(request, kAlice, true), result) << request.path();
  IpcMessage null_inside = Request(MessageType::SetValue, "", "a");
  null_inside.SetValue(ValueKind::Json, "{\"a\":null}");
  EXPECT_EQ(Result(null_inside, kAlice), 2u);
  EXPECT_EQ(Get("a").result(), 10u) << "nothing refused was written";

  ASSERT_EQ(SetValue("", "grp", json{{"k", 1}}, kAlice), 0u);
  auto meta = [&](const std::string& path) {
    uint32_t type = 99, flags = 99;
    EXPECT_TRUE(IpcValue::GetPair(Send(Request(MessageType::GetMetaData, "", path), kAlice), &type, &flags)) << path;
    return std::make_pair(type, flags);
  };
  EXPECT_EQ(meta("grp.k"), std::make_pair(4u, 0u));
  // Admin-only marks: only an administrator sets them; a value of any other
  // form than a pair of 8 bytes asks for no flags (removes the mark).
  IpcMessage mark = Request(MessageType::SetMetaData, "", "grp");
  IpcValue::SetPair(&mark, 0, Settings::kConstraintAdminOnly);
  EXPECT_EQ(Result(mark, kAlice), 5u);
  EXPECT_EQ(Result(mark, kAlice, true), 0u);
  EXPECT_EQ(meta("grp.k"), std::make_pair(4u, Settings::kConstraintAdminOnly));
  EXPECT_EQ(SetValue("", "grp.k", 2, kAlice), 12u);
  IpcMessage unmark = Request(MessageType::SetMetaData, "", "grp");
  unmark.SetValue(ValueKind::Pair, std::string(7, '\xff'));
  EXPECT_EQ(Result(unmark, kAlice, true), 0u);
  EXPECT_EQ(Result(Request(MessageType::DeleteValue, "", "grp.k"), kAlice), 0u);
  EXPECT_EQ(Get("grp.k").result(), 10u);
}

TEST_F(RequestsTest, SubscribeAndUnsubscribeAnswerForTheirChannel) {
  const std::tuple<MessageType, std::string, std::string, uint32_t> cases[] = {
      {MessageType::Subscribe, "grp", "watcher", 0},
      {MessageType::Subscribe, "grp", "watcher", 0},  // again: no failure
      {MessageType::Subscribe, "", "writer", 0},
      {MessageType::Subscribe, "grp", "", 2},
      {MessageType::Subscribe, "grp.", "watcher", 2},
      {MessageType::Unsubscribe, "grp", "", 2},
      {MessageType::UnsubscribeAll, "", "", 2},
  };
  for (const auto& [type, path, channel, result] : cases) {
    EXPECT_EQ(Result(Request(type, "", path), kAlice, false, channel), result) << path << " on " << channel;
  }
  // Who hears a change (everybody but the writer) is pinned end to end by
  // integration/shared_state_test.
  EXPECT_EQ(Result(Request(MessageType::Unsubscribe, "", "grp"), kAlice, false, "watcher"), 0u);
  EXPECT_EQ(Result(Request(MessageType::Unsubscribe, "", "grp"), kAlice, false, "watcher"), 10u);
  EXPECT_EQ(Result(Request(MessageType::UnsubscribeAll), kAlice, false, "writer"), 0u);
  EXPECT_EQ(Result(Request(MessageType::UnsubscribeAll), kAlice, false, "writer"), 10u);
  EXPECT_TRUE(manager_->notifier().Subscriptions().empty());
}

TEST_F(RequestsTest, SynchronizeCheckConnectedAndLogout) {
  // A long back-off from a failed exchange; the client's request ends it.
  auto hive = manager_->GetOrCreateHive(kAlice);
  manager_->server_comm().UpdateSettings(*hive, "token");
  ASSERT_GT(manager_->server_comm().backoff_until(), Now());
  hive->SetNextUpdateCheck(UpdateSchedule::kStatusNotConnected);
  manager_->wake_event().Reset();
  EXPECT_EQ(Result(Request(MessageType::Synchronize), kAlice), 0u);
  EXPECT_EQ(manager_->server_comm().fail_count(), 0u);
  EXPECT_EQ(manager_->server_comm().backoff_until(), Now());
  EXPECT_EQ(hive->next_check(), Now());
  EXPECT_TRUE(manager_->wake_event().IsSet());

  const IpcMessage connected = Send(Request(MessageType::CheckConnected), kAlice);
  EXPECT_EQ(connected.value_kind(), static_cast<uint8_t>(ValueKind::Boolean));
  EXPECT_EQ(connected.value(), std::string(1, '\0'));
  EXPECT_EQ(Result(Request(MessageType::Logout, kSystem), kAlice), 5u) << "no write rights";
  EXPECT_EQ(Result(Request(MessageType::Logout), kAlice), 0u);
  EXPECT_EQ(hive->last_status_code(), UpdateSchedule::kStatusNotConnected);
  EXPECT_EQ(Get("status.windows.velder.connected").value(), std::string(1, '\0'));
}

TEST_F(RequestsTest, EachRequestButAccessCheckWritesOneLogLine) {
  IpcMessage set = Request(MessageType::SetValue, "", "v");
  set.SetValue(ValueKind::Boolean, "\x01");
  const std::pair<IpcMessage, std::string> cases[] = {
      {set, "SetValue: v=true [RWa] 'test-client' (S..-1-1001) - Success"},
      {Request(MessageType::Logout, kSystem), "Unknown:  [Rwa] 'test-client' (S-1-5-18) - AccessDenied"},
      {Request(MessageType::AccessCheck), ""},
  };
  for (const auto& [request, line] : cases) {
    SCOPED_TRACE(line);
    LogCapture log;
    Result(request, kAlice);
    EXPECT_EQ(log.Count("SettingsManager::HandleRequestByType: "), line.empty() ? 0u : 1u) << log.Text();
    EXPECT_TRUE(line.empty() || log.Contains("SettingsManager::HandleRequestByType: " + line)) << log.Text();
  }
}

TEST_F(RequestsTest, ConcurrentClientsShareOneHivePerUserAndLoseNoWrite) {
  constexpr int kThreads = 6, kWrites = 40;
  std::atomic<bool> done{false};
  // The worker's duties run all the time, with every hive looking idle.
  std::jthread worker([&] {
    while (!done.load()) {
      clock_->Advance(1201 * 1000);
      manager_->ProcessHives();
      manager_->RemoveInactiveHives();
    }
  });
  std::vector<std::jthread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      const std::string user = t % 2 == 0 ? kAlice : kBob;
      for (int i = 0; i < kWrites; ++i) {
        IpcMessage request = Request(MessageType::SetValue, "", "t" + std::to_string(t) + ".k" + std::to_string(i));
        IpcValue::SetInteger(&request, i);
        IpcMessage response;
        EXPECT_TRUE(manager_->HandleRequest(request, response, user, false, "c" + std::to_string(t)));
        EXPECT_EQ(response.result(), 0u);
        EXPECT_EQ(Result(Request(MessageType::GetValue, kSystem, "none"), user), 10u);
      }
    });
  }
  clients.clear();
  done.store(true);
  worker.join();
  // Whatever hives were dropped and loaded again meanwhile, every write is on
  // disk once the manager is gone.
  manager_.reset();
  for (int t = 0; t < kThreads; ++t) {
    const json local = storage_.LoadLocal("tarn", t % 2 == 0 ? kAlice : kBob);
    for (int i = 0; i < kWrites; ++i) EXPECT_EQ(local["local"]["t" + std::to_string(t)]["k" + std::to_string(i)], i);
  }
}

}  // namespace
}  // namespace manager_testing
