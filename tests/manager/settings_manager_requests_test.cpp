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
  IpcMessage Get(const std::string& path, const std::string& client = kAlice, const std::string& user = "") {
    return Send(Request(MessageType::GetValue, user, path), client);
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
      {"own hive by name", kAlice, kAlice, false, 0, 0},
      {"own hive in lower case", "s-1-22-1-1001", kAlice, false, 0, 0},
      {"system hive, read only", kSystem, kAlice, false, 0, 5},
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
  EXPECT_EQ(SetValue(kSystem, "x..y", 1, kAlice), 5u) << "who may not write learns nothing of the request";
  // Only the hives someone could read exist: the lower-case forms found the
  // upper-case hives, and refused or invalid users made none.
  std::vector<std::string> users;
  for (const auto& hive : manager_->Hives()) users.push_back(hive->user());
  EXPECT_EQ(users, (std::vector<std::string>{kBob, kAlice, kSystem}));
  EXPECT_EQ(storage_.LoadLocal("tarn", "S-1-22-1-1003"), json());
}

TEST_F(RequestsTest, MalformedRequestsAreRefused) {
  LogCapture log;
  IpcMessage request = Request(MessageType::GetValue);
  request.set_name_space("");
  IpcMessage response;
  EXPECT_FALSE(manager_->HandleRequest(request, response, kAlice, true, "chan")) << "no namespace: no response";
  EXPECT_TRUE(log.Contains("SettingsManager::HandleRequest: Invalid request, missing namesspace")) << log.Text();
  EXPECT_TRUE(manager_->Hives().empty());
  for (const int type : {0, 14, 15, 16, 18, 100, 255}) {
    SCOPED_TRACE(type);
    request = Request(MessageType::GetValue);
    request.set_message_type(static_cast<MessageType>(type));
    EXPECT_EQ(Result(request, kAlice), 2u);
  }
}

TEST_F(RequestsTest, GetValueConvertsEveryValueKind) {
  ASSERT_EQ(SetValue("", "v", json{{"obj", {{"b", 2}, {"a", "x"}}}, {"num", 2.5}, {"neg", -7.9}, {"txt", "hello"},
                                   {"flag", true}},
                     kAlice),
            0u);
  struct Case {
    std::string path;
    uint32_t result;
    ValueKind kind;
    json value;  // what the response's value reads as; null: no value
  };
  const Case cases[] = {
      {"v.obj", 0, ValueKind::Json, json{{"a", "x"}, {"b", 2}}},
      {"v.num", 0, ValueKind::Integer, 2},
      {"v.neg", 0, ValueKind::Integer, -7},
      {"v.txt", 0, ValueKind::String, "hello"},
      {"v.flag", 0, ValueKind::Boolean, true},
      {"missing", 10, ValueKind::None, nullptr},
      {"v.obj.a.b", 10, ValueKind::None, nullptr},
      {"a..b", 2, ValueKind::None, nullptr},
      {"9z", 2, ValueKind::None, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const IpcMessage response = Get(c.path);
    EXPECT_EQ(response.result(), c.result);
    EXPECT_EQ(response.value_kind(), static_cast<uint8_t>(c.kind));
    if (c.value.is_null()) continue;
    if (c.kind == ValueKind::Json) {
      EXPECT_EQ(response.value(), c.value.dump()) << "compact text";
    }
    IpcMessage as_request = response;
    as_request.set_message_type(MessageType::SetValue);
    EXPECT_EQ(IpcValue::ToJson(as_request), std::optional<json>(c.value));
  }
}

TEST_F(RequestsTest, SetValueRefusesWhatIsNoValue) {
  struct Case {
    const char* name;
    std::string path;
    ValueKind kind;
    std::string bytes;
    uint32_t result;
  };
  const Case cases[] = {
      {"unparsable path", "a.", ValueKind::Integer, std::string(8, '\0'), 2},
      {"JSON that does not parse", "a", ValueKind::Json, "{\"a\":", 2},
      {"JSON with a null inside", "a", ValueKind::Json, "{\"a\":null}", 2},
      {"no value", "a", ValueKind::None, "", 2},
      {"a pair", "a", ValueKind::Pair, std::string(8, '\1'), 2},
      {"a list", "a", ValueKind::List, std::string(4, '\0'), 2},
      {"an unknown kind", "a", static_cast<ValueKind>(9), "x", 2},
      {"text that is no UTF-8", "a", ValueKind::String, "\xff\xfe", 2},
      {"a short integer reads as 0", "i", ValueKind::Integer, "\x05", 0},
      {"a long boolean reads as false", "b", ValueKind::Boolean, "\x01\x01", 0},
  };
  LogCapture log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage request = Request(MessageType::SetValue, "", c.path);
    request.SetValue(c.kind, c.bytes);
    EXPECT_EQ(Result(request, kAlice), c.result);
  }
  EXPECT_TRUE(log.Contains("SettingsManager::HandleSetValue: Parse error")) << log.Text();
  EXPECT_EQ(Get("i").value(), std::string(8, '\0'));
  EXPECT_EQ(Get("b").value(), std::string(1, '\0'));
  EXPECT_EQ(Get("a").result(), 10u) << "nothing refused was written";
}

TEST_F(RequestsTest, DeleteValueAndMetadata) {
  ASSERT_EQ(SetValue("", "grp", json{{"k", 1}}, kAlice), 0u);
  EXPECT_EQ(Result(Request(MessageType::DeleteValue, "", "grp..k"), kAlice), 2u);
  EXPECT_EQ(Result(Request(MessageType::DeleteValue, "", "none"), kAlice), 10u);
  EXPECT_EQ(Result(Request(MessageType::GetMetaData, "", "grp..k"), kAlice), 2u);
  EXPECT_EQ(Result(Request(MessageType::GetMetaData, "", "none"), kAlice), 10u);

  auto meta = [&](const std::string& path) {
    const IpcMessage response = Send(Request(MessageType::GetMetaData, "", path), kAlice);
    uint32_t type = 99, flags = 99;
    EXPECT_TRUE(IpcValue::GetPair(response, &type, &flags)) << path;
    return std::make_pair(type, flags);
  };
  EXPECT_EQ(meta("grp"), std::make_pair(1u, 0u));
  EXPECT_EQ(meta("grp.k"), std::make_pair(4u, 0u));

  // Admin-only marks: only an administrator sets them; a value of any other
  // form than a pair of 8 bytes asks for no flags (removes the mark).
  IpcMessage mark = Request(MessageType::SetMetaData, "", "grp");
  IpcValue::SetPair(&mark, 0, Settings::kConstraintAdminOnly);
  EXPECT_EQ(Result(mark, kAlice), 5u);
  EXPECT_EQ(Result(mark, kAlice, true), 0u);
  EXPECT_EQ(meta("grp.k"), std::make_pair(4u, Settings::kConstraintAdminOnly));
  EXPECT_EQ(SetValue("", "grp.k", 2, kAlice), 12u);
  EXPECT_EQ(Result(Request(MessageType::DeleteValue, "", "grp.k"), kAlice), 12u);

  IpcMessage unmark = Request(MessageType::SetMetaData, "", "grp");
  unmark.SetValue(ValueKind::Pair, std::string(7, '\xff'));
  EXPECT_EQ(Result(unmark, kAlice, true), 0u);
  EXPECT_EQ(meta("grp"), std::make_pair(1u, 0u));
  EXPECT_EQ(Result(Request(MessageType::SetMetaData, "", "a b"), kAlice, true), 2u);

  EXPECT_EQ(Result(Request(MessageType::DeleteValue, "", "grp.k"), kAlice), 0u);
  EXPECT_EQ(Get("grp.k").result(), 10u);
}

TEST_F(RequestsTest, EnumerateListsChildrenWithTheirTypes) {
  ASSERT_EQ(SetValue("", "e", json{{"o", json::object({{"x", 1}})}, {"n", 1}, {"s", "t"}, {"b", false},
                                   {"a", json::array({1})}},
                     kAlice),
            0u);
  const IpcMessage response = Send(Request(MessageType::Enumerate, "", "e"), kAlice);
  ASSERT_EQ(response.result(), 0u);
  std::vector<IpcValue::ListEntry> entries;
  ASSERT_TRUE(IpcValue::ParseList(response.value(), &entries));
  EXPECT_EQ(entries, (std::vector<IpcValue::ListEntry>{{"a", 2}, {"b", 5}, {"n", 4}, {"o", 1}, {"s", 3}}));

  ASSERT_TRUE(IpcValue::ParseList(Send(Request(MessageType::Enumerate, "", "e.a"), kAlice).value(), &entries));
  EXPECT_EQ(entries, (std::vector<IpcValue::ListEntry>{{"0", 4}}));
  EXPECT_EQ(Result(Request(MessageType::Enumerate, "", "e.n"), kAlice), 11u);
  EXPECT_EQ(Result(Request(MessageType::Enumerate, "", "e..n"), kAlice), 2u);
  EXPECT_EQ(Result(Request(MessageType::Enumerate, "", "none"), kAlice), 10u);
  // A reader of the system hive may enumerate it.
  SetSystemSetting("windows.velder.server", "host");
  EXPECT_EQ(Result(Request(MessageType::Enumerate, kSystem, "windows.velder"), kAlice), 0u);
}

TEST_F(RequestsTest, EnumerateUsersIsForAdministratorsAndReportsTheListing) {
  EXPECT_EQ(Result(Request(MessageType::EnumerateUsers), kAlice), 5u);
  const IpcMessage empty = Send(Request(MessageType::EnumerateUsers), kAlice, true);
  EXPECT_EQ(empty.result(), 1u) << "no local file at all";
  EXPECT_EQ(empty.value_kind(), static_cast<uint8_t>(ValueKind::None));

  ASSERT_EQ(SetValue("", "x", 1, kBob), 0u);
  ASSERT_EQ(SetValue("", "x", 1, kAlice), 0u);
  manager_->ProcessHives();
  const IpcMessage listed = Send(Request(MessageType::EnumerateUsers), kAlice, true);
  ASSERT_EQ(listed.result(), 0u);
  std::vector<IpcValue::ListEntry> entries;
  ASSERT_TRUE(IpcValue::ParseList(listed.value(), &entries));
  EXPECT_EQ(entries, (std::vector<IpcValue::ListEntry>{{kAlice, 0}, {kBob, 0}}));
}

TEST_F(RequestsTest, SubscriptionsDeliverChangesToOtherChannels) {
  ASSERT_TRUE(manager_->notifier().Start());
  struct Case {
    const char* name;
    MessageType type;
    std::string path;
    std::string channel;
    uint32_t result;
  };
  const Case cases[] = {
      {"subscribe", MessageType::Subscribe, "grp", "watcher", 0},
      {"subscribe again", MessageType::Subscribe, "grp", "watcher", 0},
      {"subscribe the writer itself", MessageType::Subscribe, "", "writer", 0},
      {"no channel", MessageType::Subscribe, "grp", "", 2},
      {"unparsable path", MessageType::Subscribe, "grp.", "watcher", 2},
      {"unsubscribe without channel", MessageType::Unsubscribe, "grp", "", 2},
      {"unsubscribe all without channel", MessageType::UnsubscribeAll, "", "", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Result(Request(c.type, "", c.path), kAlice, false, c.channel), c.result);
  }
  ASSERT_EQ(SetValue("", "grp.k", 5, kAlice, false, "writer"), 0u);
  ASSERT_TRUE(sender_->delivered.Wait(std::chrono::seconds(10)));
  const auto sent = sender_->Take();
  ASSERT_EQ(sent.size(), 1u) << "the writer's own channel hears nothing";
  EXPECT_EQ(sent[0].channel, "watcher");
  EXPECT_EQ(sent[0].message.message_type(), MessageType::Notification);
  EXPECT_EQ(sent[0].message.path(), "grp.k");

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
  hive->SetNextUpdateCheck(Settings::kStatusNotConnected);
  manager_->wake_event().Reset();

  EXPECT_EQ(Result(Request(MessageType::Synchronize), kAlice), 0u);
  EXPECT_EQ(manager_->server_comm().fail_count(), 0u);
  EXPECT_EQ(manager_->server_comm().backoff_until(), Now());
  EXPECT_LE(hive->next_check(), Now() + 30) << "due now, after at most the back-off floor";
  EXPECT_TRUE(manager_->wake_event().IsSet());

  const IpcMessage connected = Send(Request(MessageType::CheckConnected), kAlice);
  EXPECT_EQ(connected.result(), 0u);
  EXPECT_EQ(connected.value_kind(), static_cast<uint8_t>(ValueKind::Boolean));
  EXPECT_EQ(connected.value(), std::string(1, '\0'));

  EXPECT_EQ(Result(Request(MessageType::Logout, kSystem), kAlice), 5u) << "no write rights";
  EXPECT_EQ(Result(Request(MessageType::Logout), kAlice), 0u);
  EXPECT_EQ(hive->last_status_code(), Settings::kStatusNotConnected);
  EXPECT_EQ(Get("status.windows.velder.connected").value(), std::string(1, '\0'));
}

TEST_F(RequestsTest, EachRequestButAccessCheckWritesOneLogLine) {
  const std::string hive = "S..-1-1001";
  struct Case {
    const char* name;
    IpcMessage request;
    bool admin;
    std::string line;  // empty: no line at all
  };
  auto set = [](ValueKind kind, std::string bytes) {
    IpcMessage request = Request(MessageType::SetValue, "", "v");
    request.SetValue(kind, std::move(bytes));
    return request;
  };
  std::string minus_five(8, '\xff');
  minus_five[0] = '\xfb';
  const Case cases[] = {
      {"true", set(ValueKind::Boolean, "\x01"), false, "SetValue: v=true [RWa] 'test-client' (" + hive + ") - Success"},
      {"negative integer", set(ValueKind::Integer, minus_five), true, "SetValue: v=-5 [RWA]"},
      {"JSON has no suffix", set(ValueKind::Json, "7"), false, "SetValue: v [RWa]"},
      {"unnamed type by a reader of the system hive", Request(MessageType::Logout, kSystem), false,
       "Unknown:  [Rwa] 'test-client' (S-1-5-18) - AccessDenied"},
      {"access check", Request(MessageType::AccessCheck), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Result(c.request, kAlice, c.admin);
    if (c.line.empty()) {
      EXPECT_FALSE(log.Contains("HandleRequestByType")) << log.Text();
    } else {
      EXPECT_EQ(log.Count("SettingsManager::HandleRequestByType: "), 1u) << log.Text();
      EXPECT_TRUE(log.Contains("SettingsManager::HandleRequestByType: " + c.line)) << log.Text();
    }
  }
}

TEST_F(RequestsTest, RequestsAreCountedPerTypeAndProgramWhileStatisticsAreOn) {
  Result(Request(MessageType::GetValue, "", "x"), kAlice, false, "a");
  EXPECT_EQ(manager_->statistics().CurrentSession(), nullptr);
  SetSystemSetting("windows.velder.statistics_on", true);
  auto session = manager_->statistics().CurrentSession();
  ASSERT_NE(session, nullptr);
  // Three connections of one program count as one originator.
  for (const char* channel : {"1.1", "1.2", "2.1"}) {
    Result(Request(MessageType::GetValue, "", "x"), kAlice, false, channel);
  }
  IpcMessage other = Request(MessageType::AccessCheck);
  other.set_client("other-program");
  Result(other, kAlice, false, "2.1");
  const json by_type = session->Report(0)["by_type"];
  EXPECT_EQ(by_type["GetValue"]["total_count"], 3);
  EXPECT_EQ(by_type["GetValue"]["test-client"]["count"], 3);
  EXPECT_EQ(by_type["AccessCheck"]["other-program"]["count"], 1);
  EXPECT_FALSE(by_type.contains("SetValue")) << "the request that switched collection on began before it";
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
    SCOPED_TRACE(t);
    const json local = storage_.LoadLocal("tarn", t % 2 == 0 ? kAlice : kBob);
    for (int i = 0; i < kWrites; ++i) {
      EXPECT_EQ(local["local"]["t" + std::to_string(t)]["k" + std::to_string(i)], i);
    }
  }
}

}  // namespace
}  // namespace manager_testing
