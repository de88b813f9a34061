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

// Who reaches which hive, however its SID is spelled, is pinned end to end by
// integration/client_rights_test; here: requests that name no hive at all.
TEST_F(RequestsTest, RequestsThatNameNoHiveAreInvalidAndMakeNone) {
  const struct { const char* name; std::string user_field, client; bool admin; } cases[] = {
      {"a path in the user field", "S-1-5-18/../../etc", kAlice, true},
      {"a client without identity and no user field", "", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Result(Request(MessageType::AccessCheck, c.user_field), c.client, c.admin), 2u);
    EXPECT_EQ(SetValue(c.user_field, "x", 1, c.client, c.admin), 2u);
  }
  EXPECT_TRUE(Users().empty());
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

  // What marks bind is pinned end to end by integration/velderctl_test; here: only an administrator
  // sets one, and a value of any other form than a pair of 8 bytes asks for no flags.
  ASSERT_EQ(SetValue("", "grp", json{{"k", 1}}, kAlice), 0u);
  IpcMessage mark = Request(MessageType::SetMetaData, "", "grp");
  IpcValue::SetPair(&mark, 0, Settings::kConstraintAdminOnly);
  EXPECT_EQ(Result(mark, kAlice), 5u) << "administrators only";
  ASSERT_EQ(Result(mark, kAlice, true), 0u);
  ASSERT_EQ(SetValue("", "grp.k", 2, kAlice), 12u);
  IpcMessage unmark = Request(MessageType::SetMetaData, "", "grp");
  unmark.SetValue(ValueKind::Pair, std::string(7, '\xff'));
  EXPECT_EQ(Result(unmark, kAlice, true), 0u);
  EXPECT_EQ(SetValue("", "grp.k", 2, kAlice), 0u);
}

TEST_F(RequestsTest, SubscribeAndUnsubscribeAnswerForTheirChannel) {
  const std::tuple<MessageType, std::string, std::string, uint32_t> cases[] = {
      {MessageType::Subscribe, "grp", "watcher", 0},
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

// That a sync makes the hive due at once and wakes the update loop, and what
// CheckConnected answers, are pinned end to end by integration/server_sync_test
// and integration/velderctl_test (status).
TEST_F(RequestsTest, SynchronizeEndsTheBackoffAndLogoutNeedsWriteRights) {
  auto hive = manager_->GetOrCreateHive(kAlice);
  manager_->server_comm().UpdateSettings(*hive, "token");
  ASSERT_GT(manager_->server_comm().backoff_until(), Now());
  EXPECT_EQ(Result(Request(MessageType::Synchronize), kAlice), 0u);
  EXPECT_EQ(manager_->server_comm().fail_count(), 0u);
  EXPECT_EQ(manager_->server_comm().backoff_until(), Now());

  EXPECT_EQ(Result(Request(MessageType::Logout, kSystem), kAlice), 5u) << "no write rights";
  EXPECT_EQ(Result(Request(MessageType::Logout), kAlice), 0u);
  EXPECT_EQ(hive->last_status_code(), UpdateSchedule::kStatusNotConnected);
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
