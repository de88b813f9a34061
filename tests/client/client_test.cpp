// The client library against a scripted service on a real socket: what each
// call sends, how it reads answers good and bad, connections that fail or
// end, notifications, and many threads on one client.
#include "client/velder_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "scripted_service.h"

namespace {

using client_test::RawService;
using client_test::Reply;
using client_test::ScopedService;
using client_test::ScriptedService;
using nlohmann::json;
using velder::Client;
using velder::ClientError;
using velder::ClientOptions;
using velder::Notification;
using velder::Status;

std::string Int64Bytes(int64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xff);
  return s;
}

std::unique_ptr<Client> ConnectOrFail(ClientOptions options = {}) {
  std::unique_ptr<Client> client;
  const Status s = Client::Connect(std::move(options), &client);
  EXPECT_TRUE(s.ok()) << s.Message();
  return client;
}

// Collects notifications and lets the test wait for a number of them.
class Collector {
 public:
  // Options of a client that reports here.
  ClientOptions Options() {
    ClientOptions options;
    options.on_notification = [this](const Notification& n) { Add(n); };
    return options;
  }
  void Add(const Notification& n) {
    std::lock_guard lock(mu_);
    got_.push_back(n);
    cv_.notify_all();
  }
  std::vector<Notification> WaitFor(size_t n) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return got_.size() >= n; });
    return got_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Notification> got_;
};

TEST(ClientConnectTest, RefusedBeforeOrWhileConnecting) {
  ScopedService env;
  struct Case {
    const char* name;
    bool service_runs;
    ClientOptions options;
    ClientError error;
  };
  ClientOptions bad_identity;
  bad_identity.identity = "../elsewhere";
  ClientOptions bad_user;
  bad_user.user = "nobody";
  ClientOptions no_namespace;
  no_namespace.name_space = "";
  ClientOptions bad_name;
  bad_name.client_name = "tool\xff";
  const Case cases[] = {
      {"no service listening", false, {}, ClientError::Unreachable},
      {"identity that is a path", true, bad_identity, ClientError::InvalidArgument},
      {"user that is no SID", true, bad_user, ClientError::InvalidArgument},
      {"empty namespace", true, no_namespace, ClientError::InvalidArgument},
      {"client name not UTF-8", true, bad_name, ClientError::InvalidArgument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ScriptedService> service;
    if (c.service_runs) {
      service.emplace();
      ASSERT_EQ(service->result(), HV_IPC_OK);
    }
    std::unique_ptr<Client> client;
    const Status s = Client::Connect(c.options, &client);
    EXPECT_EQ(s.error(), c.error) << s.Message();
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(client, nullptr);
    if (service) {
      EXPECT_TRUE(service->seen().empty());
    }
  }
}

TEST(ClientConnectTest, IdentityFromOptionsThenEnvironmentThenDefault) {
  ScopedService env;  // sets VELDER_IDENTITY
  EXPECT_EQ(velder::ResolveIdentity("given"), "given");
  EXPECT_EQ(velder::ResolveIdentity(""), client_test::kIdentity);
  ::unsetenv("VELDER_IDENTITY");
  EXPECT_EQ(velder::ResolveIdentity(""), velder::kDefaultIdentity);
}

TEST(ClientRequestTest, EachCallSendsItsEnvelope) {
  ScopedService env;
  ScriptedService service;
  ClientOptions options;
  options.user = "S-1-22-1-4242";
  options.client_name = "unit";
  auto client = ConnectOrFail(options);
  ASSERT_TRUE(client);

  struct Case {
    const char* name;
    std::function<void(Client&)> call;
    MessageType type;
    std::string path = "";
    ValueKind kind = ValueKind::None;
    std::string value = "";
  };
  // Calls velderctl makes are checked by its own tests and end to end.
  const Case cases[] = {
      {"AccessCheck", [](Client& c) { c.AccessCheck(); }, MessageType::AccessCheck},
      {"GetValue", [](Client& c) { c.GetValue("a.b"); }, MessageType::GetValue, "a.b"},
      {"SetBool", [](Client& c) { c.SetBool("a", true); }, MessageType::SetValue, "a", ValueKind::Boolean, "\1"},
      {"SetInt", [](Client& c) { c.SetInt("a", -2); }, MessageType::SetValue, "a", ValueKind::Integer, Int64Bytes(-2)},
      {"SetString", [](Client& c) { c.SetString("a", "x y"); }, MessageType::SetValue, "a", ValueKind::String, "x y"},
      // The Integer kind would drop the fraction, or turn a large unsigned negative.
      {"SetValue fraction", [](Client& c) { c.SetValue("a", 2.5); }, MessageType::SetValue, "a", ValueKind::Json,
       "2.5"},
      {"SetValue large unsigned", [](Client& c) { c.SetValue("a", UINT64_MAX); }, MessageType::SetValue, "a",
       ValueKind::Json, "18446744073709551615"},
      {"SetValue unsigned that fits", [](Client& c) { c.SetValue("a", uint64_t{7}); }, MessageType::SetValue, "a",
       ValueKind::Integer, Int64Bytes(7)},
      {"SetJsonText", [](Client& c) { c.SetJsonText("a.0", " [1, 2] "); }, MessageType::SetValue, "a.0",
       ValueKind::Json, "[1,2]"},
      {"Unsubscribe", [](Client& c) { c.Unsubscribe("s"); }, MessageType::Unsubscribe, "s"},
      {"Logout", [](Client& c) { c.Logout(); }, MessageType::Logout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = service.seen().size();
    c.call(*client);
    const auto seen = service.seen();
    ASSERT_EQ(seen.size(), before + 1);
    const IpcMessage& r = seen.back().request;
    EXPECT_EQ(r.message_type(), static_cast<uint8_t>(c.type));
    EXPECT_EQ(r.path(), c.path);
    EXPECT_EQ(r.value_kind(), static_cast<uint8_t>(c.kind));
    EXPECT_EQ(r.value(), c.value);
    EXPECT_EQ(r.name_space(), "tarn");
    EXPECT_EQ(r.user(), "S-1-22-1-4242");
    EXPECT_EQ(r.client(), "unit");
    EXPECT_EQ(r.result(), 0u);
    EXPECT_EQ(seen.back().channel, client->channel());
  }
}

TEST(ClientRequestTest, ValuesNoHiveCanStoreNeverLeave) {
  ScopedService env;
  ScriptedService service;
  auto client = ConnectOrFail();
  ASSERT_TRUE(client);
  json deep = 1;
  for (int i = 0; i < 200; ++i) deep = json::array({deep});
  const struct {
    const char* name;
    std::function<Status(Client&)> call;
  } cases[] = {
      {"null", [](Client& c) { return c.SetValue("a", nullptr); }},
      {"null inside", [](Client& c) { return c.SetValue("a", json{{"b", nullptr}}); }},
      {"member that is no key", [](Client& c) { return c.SetValue("a", json{{"1st", 1}}); }},
      {"not a number", [](Client& c) { return c.SetValue("a", std::nan("")); }},
      {"too deep", [&](Client& c) { return c.SetValue("a", deep); }},
      {"text not UTF-8", [](Client& c) { return c.SetString("a", "caf\xe9"); }},
      {"text not UTF-8 in an object", [](Client& c) { return c.SetValue("a", json{{"b", "caf\xe9"}}); }},
      {"JSON that does not parse", [](Client& c) { return c.SetJsonText("a", "{\"b\":"); }},
      {"JSON nested past the limit", [](Client& c) { return c.SetJsonText("a", std::string(100000, '[')); }},
      {"JSON null", [](Client& c) { return c.SetJsonText("a", "null"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Status s = c.call(*client);
    EXPECT_EQ(s.error(), ClientError::InvalidArgument) << s.Message();
    EXPECT_FALSE(s.detail().empty());
  }
  EXPECT_TRUE(service.seen().empty());
  EXPECT_TRUE(client->SetInt("a", 1).ok());  // the client is as good as before
}

TEST(ClientAnswerTest, GetValueReadsWhatTheServiceSends) {
  ScopedService env;
  Reply next;
  std::mutex mu;
  ScriptedService service([&](const IpcMessage&, Reply* reply) {
    std::lock_guard lock(mu);
    reply->message.set_result(next.message.result());
    reply->message.SetValue(next.message.value_kind(), next.message.value());
  });
  auto client = ConnectOrFail();
  ASSERT_TRUE(client);

  struct Case {
    const char* name;
    uint32_t result;
    uint8_t kind;
    std::string bytes;
    Status status;
    json value;
  };
  const Status bad = Status::FromError(ClientError::BadResponse);
  const Case cases[] = {
      {"nothing", 0, 0, "", {}, nullptr},
      {"true", 0, 1, std::string(1, '\1'), {}, true},
      {"negative integer", 0, 2, Int64Bytes(-5), {}, -5},
      {"smallest integer", 0, 2, Int64Bytes(INT64_MIN), {}, INT64_MIN},
      {"text", 0, 3, "h\xc3\xa9llo", {}, "h\xc3\xa9llo"},
      {"object", 0, 4, R"({"a":[1,2]})", {}, json{{"a", {1, 2}}}},
      {"not found", 10, 0, "", Status::FromCode(ResultCode::NotFound), nullptr},
      {"a code this client does not know", 99, 0, "", Status::FromCode(99), nullptr},
      {"boolean of two bytes", 0, 1, std::string("\1\0", 2), bad, nullptr},
      {"boolean byte 2", 0, 1, "\2", bad, nullptr},
      {"integer of four bytes", 0, 2, "\1\0\0\0", bad, nullptr},
      {"nothing with bytes", 0, 0, "x", bad, nullptr},
      {"text not UTF-8", 0, 3, "caf\xe9", bad, nullptr},
      {"JSON that does not parse", 0, 4, "{\"a\":", bad, nullptr},
      {"JSON nested without end", 0, 4, std::string(5000, '['), bad, nullptr},
      {"a pair", 0, 5, std::string(8, '\0'), bad, nullptr},
      {"a list", 0, 6, std::string(4, '\0'), bad, nullptr},
      {"an unknown kind", 0, 42, "", bad, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mu);
      next.message.set_result(c.result);
      next.message.SetValue(c.kind, c.bytes);
    }
    const auto r = client->GetValue("p");
    EXPECT_EQ(r.status, c.status) << r.status.Message();
    if (c.status.ok()) {
      EXPECT_EQ(r.value, c.value);
    }
    if (c.result == 99) {
      EXPECT_EQ(r.status.Name(), "Unknown");
    }
  }
}

TEST(ClientAnswerTest, TypedAndStructuredAnswers) {
  ScopedService env;
  ScriptedService service([](const IpcMessage& request, Reply* reply) {
    const std::string& p = request.path();
    IpcMessage& m = reply->message;
    if (p == "text") IpcValue::SetString(&m, "x");
    if (p == "number") IpcValue::SetInteger(&m, 12);
    if (p == "flag") IpcValue::SetBoolean(&m, true);
    if (p == "meta") IpcValue::SetPair(&m, 4, 3);
    if (p == "meta.odd") IpcValue::SetPair(&m, 77, 0);
    if (p == "meta.bad") IpcValue::SetInteger(&m, 3);
    if (p == "list") IpcValue::SetList(&m, {{"a", 1}, {"0", 2}, {"z", 9}});
    if (p == "list.bad") m.SetValue(ValueKind::List, std::string("\3\0\0\0\1\1\1a,b", 9));
    if (p == "list.empty") IpcValue::SetList(&m, {});
    if (request.message_type() == static_cast<uint8_t>(MessageType::EnumerateUsers)) {
      IpcValue::SetList(&m, {{"S-1-5-18", 0}, {"S-1-22-1-1000", 0}});
    }
    if (request.message_type() == static_cast<uint8_t>(MessageType::CheckConnected)) {
      IpcValue::SetBoolean(&m, true);
    }
  });
  auto client = ConnectOrFail();
  ASSERT_TRUE(client);

  EXPECT_EQ(client->GetString("text").value, "x");
  EXPECT_EQ(client->GetInt("number").value, 12);
  EXPECT_TRUE(client->GetBool("flag").value);
  EXPECT_EQ(client->GetInt("text").status.error(), ClientError::UnexpectedType);
  EXPECT_EQ(client->GetBool("number").status.error(), ClientError::UnexpectedType);
  EXPECT_EQ(client->GetString("flag").status.error(), ClientError::UnexpectedType);
  EXPECT_EQ(client->GetString("nothing").status.error(), ClientError::UnexpectedType);

  const auto meta = client->GetMetaData("meta");
  ASSERT_TRUE(meta.ok()) << meta.status.Message();
  EXPECT_EQ(meta.value.type, velder::ValueType::Number);
  EXPECT_TRUE(meta.value.read_only());
  EXPECT_TRUE(meta.value.admin_only());
  EXPECT_EQ(client->GetMetaData("meta.odd").value.type, velder::ValueType::Other);
  EXPECT_EQ(client->GetMetaData("meta.bad").status.error(), ClientError::BadResponse);

  const auto list = client->Enumerate("list");
  ASSERT_TRUE(list.ok()) << list.status.Message();
  const std::vector<velder::Entry> want = {
      {"a", velder::ValueType::Object}, {"0", velder::ValueType::Array}, {"z", velder::ValueType::Other}};
  EXPECT_EQ(list.value, want);
  EXPECT_TRUE(client->Enumerate("list.empty").ok());
  EXPECT_TRUE(client->Enumerate("list.empty").value.empty());
  EXPECT_EQ(client->Enumerate("list.bad").status.error(), ClientError::BadResponse);
  EXPECT_EQ(client->Enumerate("text").status.error(), ClientError::BadResponse);

  const auto users = client->EnumerateUsers();
  ASSERT_TRUE(users.ok());
  EXPECT_EQ(users.value, (std::vector<std::string>{"S-1-5-18", "S-1-22-1-1000"}));
  const auto connected = client->CheckConnected();
  ASSERT_TRUE(connected.ok());
  EXPECT_TRUE(connected.value);
}

TEST(ClientAnswerTest, UnreadableAnswersLeaveTheClientUsable) {
  ScopedService env;
  std::atomic<int> mode{0};
  ScriptedService service([&](const IpcMessage& request, Reply* reply) {
    if (request.path() != "odd") return;
    switch (mode.load()) {
      case 0: reply->raw = "garbage, not an envelope"; break;
      case 1: reply->raw = ""; break;
      case 2: reply->message.set_message_type(MessageType::Notification); break;
      case 3: reply->handled = false; break;
    }
  });
  auto client = ConnectOrFail();
  ASSERT_TRUE(client);
  const struct {
    const char* name;
    ClientError error;
  } cases[] = {
      {"garbage bytes", ClientError::BadResponse},
      {"no bytes", ClientError::BadResponse},
      {"an envelope that is no response", ClientError::BadResponse},
      {"a request the service did not handle", ClientError::NotHandled},
  };
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(cases[i].name);
    mode = i;
    EXPECT_EQ(client->GetValue("odd").status.error(), cases[i].error);
    EXPECT_TRUE(client->GetValue("fine").ok());
    EXPECT_TRUE(client->connected());
  }
}

TEST(ClientConnectionTest, ServiceThatClosesOrBreaksTheConnection) {
  const struct {
    const char* name;
    RawService::Act act;
    ClientError error;
  } cases[] = {
      {"closes after reading the request", [](int, const std::string&) {}, ClientError::Disconnected},
      {"sends a frame of an unknown kind",
       [](int fd, const std::string&) { RawService::WriteAll(fd, RawService::Frame(9, "????")); },
       ClientError::Disconnected},
      {"sends half a frame and closes",
       [](int fd, const std::string& id) {
         RawService::WriteAll(fd, RawService::Frame(HV_IPC_FRAME_RESPONSE, id + RawService::U32(0) + "abc")
                                      .substr(0, 9));
       },
       ClientError::Disconnected},
      {"answers with garbage",
       [](int fd, const std::string& id) {
         RawService::WriteAll(fd, RawService::Frame(HV_IPC_FRAME_RESPONSE, id + RawService::U32(0) + "\x01garbage"));
       },
       ClientError::BadResponse},
      {"answers not handled",
       [](int fd, const std::string& id) {
         RawService::WriteAll(fd, RawService::Frame(HV_IPC_FRAME_RESPONSE, id + RawService::U32(HV_IPC_NOT_HANDLED)));
       },
       ClientError::NotHandled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedService env;
    RawService raw(env.dir(), c.act);
    Collector notes;
    auto client = ConnectOrFail(notes.Options());
    ASSERT_TRUE(client);
    EXPECT_EQ(client->GetValue("a").status.error(), c.error);
    // The raw service closes every connection after one request.
    const auto got = notes.WaitFor(1);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().kind, Notification::Kind::Disconnected);
    EXPECT_FALSE(client->connected());
    EXPECT_EQ(client->GetValue("a").status.error(), ClientError::Disconnected);
  }
}

TEST(ClientConnectionTest, ServiceStopsWhileARequestWaits) {
  ScopedService env;
  std::promise<void> gate, entered;
  std::shared_future<void> open = gate.get_future().share();
  auto service = std::make_unique<ScriptedService>([&](const IpcMessage& request, Reply*) {
    if (request.path() == "block") {
      entered.set_value();
      open.wait_for(std::chrono::seconds(20));
    }
  });
  Collector notes;
  auto client = ConnectOrFail(notes.Options());
  ASSERT_TRUE(client);

  auto pending = std::async(std::launch::async, [&] { return client->GetValue("block"); });
  entered.get_future().wait();
  auto stopping = std::async(std::launch::async, [&] { service->Stop(); });
  // The waiting request ends with the connection, not with the callback.
  EXPECT_EQ(pending.get().status.error(), ClientError::Disconnected);
  gate.set_value();
  stopping.get();
  const auto got = notes.WaitFor(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, Notification::Kind::Disconnected);
  EXPECT_FALSE(client->connected());
  EXPECT_EQ(client->Synchronize().error(), ClientError::Disconnected);
}

TEST(ClientConnectionTest, TimedOutRequestLeavesTheConnectionUsable) {
  ScopedService env;
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  ScriptedService service([&](const IpcMessage& request, Reply*) {
    if (request.path() == "slow") open.wait_for(std::chrono::seconds(20));
  });
  ClientOptions options;
  options.request_timeout_ms = 50;
  auto client = ConnectOrFail(options);
  ASSERT_TRUE(client);
  EXPECT_EQ(client->GetValue("slow").status.error(), ClientError::Timeout);
  gate.set_value();
  // The late answer to "slow" must not be taken for this one's.
  service.WaitForRequests(1);
  EXPECT_TRUE(client->GetValue("quick").ok());
  EXPECT_TRUE(client->connected());
}

// How each kind of notification decodes is notification_test's; here: order
// over the connection, and malformed ones reported in their place.
TEST(ClientNotificationTest, DeliveredInTheOrderSentWithMalformedOnesReported) {
  ScopedService env;
  ScriptedService service;
  Collector notes;
  auto client = ConnectOrFail(notes.Options());
  ASSERT_TRUE(client);
  constexpr int kRounds = 400;
  for (int i = 0; i < kRounds; ++i) {
    if (i % 50 == 0) {
      ASSERT_EQ(service.NotifyRaw(client->channel(), HV_IPC_KIND_ENVELOPE, "not an envelope"), HV_IPC_OK);
      continue;
    }
    IpcMessage m;
    m.set_message_type(MessageType::Notification);
    m.set_path("n." + std::to_string(i));
    IpcValue::SetInteger(&m, i);
    ASSERT_EQ(service.Notify(client->channel(), m), HV_IPC_OK);
  }
  const auto got = notes.WaitFor(kRounds);
  ASSERT_EQ(got.size(), static_cast<size_t>(kRounds));
  for (int i = 0; i < kRounds; ++i) {
    SCOPED_TRACE(i);
    if (i % 50 == 0) {
      EXPECT_EQ(got[i].kind, Notification::Kind::Malformed);
      EXPECT_FALSE(got[i].error.empty());
    } else {
      EXPECT_EQ(got[i].kind, Notification::Kind::Value);
      EXPECT_EQ(got[i].path, "n." + std::to_string(i));
      EXPECT_EQ(got[i].value, i);
    }
  }
  service.Stop();
  const auto last = notes.WaitFor(kRounds + 1);
  ASSERT_EQ(last.size(), static_cast<size_t>(kRounds + 1));
  EXPECT_EQ(last.back().kind, Notification::Kind::Disconnected);
}

TEST(ClientNotificationTest, HandlerCannotRequestButMayDestroyTheClient) {
  ScopedService env;
  ScriptedService service;
  std::unique_ptr<Client> client;
  std::promise<Status> from_handler;
  std::promise<void> destroyed;
  std::atomic<int> calls{0};
  ClientOptions options;
  options.on_notification = [&](const Notification& n) {
    const int call = ++calls;
    if (call == 1) from_handler.set_value(client->GetValue(n.path).status);
    if (call == 2) {
      client.reset();
      destroyed.set_value();
    }
  };
  ASSERT_TRUE(Client::Connect(options, &client).ok());
  const std::string channel = client->channel();
  IpcMessage note;
  note.set_message_type(MessageType::Notification);
  note.set_path("a");
  ASSERT_EQ(service.Notify(channel, note), HV_IPC_OK);
  EXPECT_EQ(from_handler.get_future().get().error(), ClientError::WrongThread);
  ASSERT_EQ(service.Notify(channel, note), HV_IPC_OK);
  destroyed.get_future().wait();
  // The connection is gone: the service can no longer reach the channel.
  for (int i = 0; i < 200 && service.Notify(channel, note) == HV_IPC_OK; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(service.Notify(channel, note), static_cast<uint32_t>(HV_IPC_OK));
  EXPECT_EQ(calls.load(), 2);
}

TEST(ClientThreadsTest, ManyThreadsShareOneClient) {
  ScopedService env;
  // Each answer names its request, and answers come back in any order.
  ScriptedService service([](const IpcMessage& request, Reply* reply) {
    IpcValue::SetString(&reply->message, request.path());
    if (request.path().ends_with(".7")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  Collector notes;
  auto client = ConnectOrFail(notes.Options());
  ASSERT_TRUE(client);

  constexpr int kThreads = 8, kCalls = 250, kNotes = 300;
  std::atomic<int> wrong{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string path = "t" + std::to_string(t) + "." + std::to_string(i % 10);
        const auto r = (i % 2) ? client->GetString(path) : velder::Result<std::string>{client->SetInt(path, i), path};
        if (!r.ok()) {
          ++failed;
        } else if (r.value != path) {
          ++wrong;
        }
      }
    });
  }
  IpcMessage note;
  note.set_message_type(MessageType::Notification);
  note.set_path("busy");
  for (int i = 0; i < kNotes; ++i) ASSERT_EQ(service.Notify(client->channel(), note), HV_IPC_OK);
  for (auto& th : threads) th.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(service.seen().size(), static_cast<size_t>(kThreads * kCalls));
  EXPECT_EQ(notes.WaitFor(kNotes).size(), static_cast<size_t>(kNotes));
}

}  // namespace
