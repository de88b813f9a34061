// The client library against a scripted service on a real socket: what each
// call sends, how it reads answers, connections that fail or end, and the
// notification handler. The channel itself is the IPC library's to test.
#include "client/velder_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "scripted_service.h"

namespace {

using client_test::Int64Bytes;
using client_test::RawService;
using client_test::Reply;
using ipc_test::RawFrame;
using ipc_test::U32;
using client_test::ScopedService;
using client_test::ScriptedService;
using nlohmann::json;
using velder::Client;
using velder::ClientError;
using velder::ClientOptions;
using velder::Notification;
using velder::Status;

std::unique_ptr<Client> ConnectOrFail(ClientOptions options = {}) {
  std::unique_ptr<Client> client;
  const Status s = Client::Connect(std::move(options), &client);
  EXPECT_TRUE(s.ok()) << s.Message();
  return client;
}

// No service listening: Import.AToolStartedBeforeTheServiceWaitsForItAndWritesEveryValue (the tool waits only
// while the service is unreachable).
TEST(ClientConnectTest, OptionsNoServiceCouldTakeAreRefusedBeforeConnecting) {
  ScopedService env;  // sets VELDER_IDENTITY
  ScriptedService service;
  auto with = [](std::string ClientOptions::*field, const char* value) {
    ClientOptions options;
    options.*field = value;
    return options;
  };
  const struct { const char* name; ClientOptions options; } cases[] = {
      {"user that is no SID", with(&ClientOptions::user, "nobody")},
      {"empty namespace", with(&ClientOptions::name_space, "")},
      {"client name not UTF-8", with(&ClientOptions::client_name, "tool\xff")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Client> client;
    const Status s = Client::Connect(c.options, &client);
    EXPECT_EQ(s.error(), ClientError::InvalidArgument) << s.Message();
    EXPECT_EQ(client, nullptr);
  }
  EXPECT_TRUE(service.seen().empty());
}

TEST(ClientRequestTest, EachCallSendsItsEnvelopeOrRefusesWhatNoHiveCanStore) {
  ScopedService env;
  ScriptedService service;
  ClientOptions options;
  options.user = "S-1-22-1-4242";
  options.client_name = "unit";
  auto client = ConnectOrFail(options);
  ASSERT_TRUE(client);
  using K = ValueKind;
  struct Case {
    const char* name;
    std::function<Status(Client&)> call;
    std::optional<ValueKind> kind;  // none: refused without asking
    std::string value = "";
  };
  // Calls velderctl makes (integers and texts through SetValue; rm, sync and watch, which only name a message type
  // and a path) are checked end to end, integration/velderctl_test and server_sync_test.
  const Case cases[] = {
      {"SetBool", [](Client& c) { return c.SetBool("a", true); }, K::Boolean, "\1"},
      // The Integer kind would drop the fraction, or turn a large unsigned negative.
      {"fraction", [](Client& c) { return c.SetValue("a", 2.5); }, K::Json, "2.5"},
      {"large unsigned", [](Client& c) { return c.SetValue("a", UINT64_MAX); }, K::Json, "18446744073709551615"},
      {"unsigned that fits", [](Client& c) { return c.SetValue("a", uint64_t{7}); }, K::Integer, Int64Bytes(7)},
      {"null", [](Client& c) { return c.SetValue("a", nullptr); }, std::nullopt},
      {"null inside", [](Client& c) { return c.SetValue("a", json{{"b", nullptr}}); }, std::nullopt},
      {"text not UTF-8", [](Client& c) { return c.SetString("a", "caf\xe9"); }, std::nullopt},
      {"text not UTF-8 in an object", [](Client& c) { return c.SetValue("a", json{{"b", "caf\xe9"}}); }, std::nullopt},
      {"JSON that does not parse", [](Client& c) { return c.SetJsonText("a", "{\"b\":"); }, std::nullopt},
      {"JSON nested past the limit", [](Client& c) { return c.SetJsonText("a", std::string(100000, '[')); },
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = service.seen().size();
    const Status status = c.call(*client);
    const auto seen = service.seen();
    if (!c.kind) {
      EXPECT_EQ(status.error(), ClientError::InvalidArgument) << status.Message();
      EXPECT_FALSE(status.detail().empty());
      EXPECT_EQ(seen.size(), before);
      continue;
    }
    ASSERT_EQ(seen.size(), before + 1);
    const IpcMessage& r = seen.back();
    EXPECT_EQ(r.message_type(), MessageType::SetValue);
    EXPECT_EQ(r.path(), "a");
    EXPECT_EQ(r.value_kind(), static_cast<uint8_t>(*c.kind));
    EXPECT_EQ(r.value(), c.value);
    EXPECT_EQ(r.name_space() + r.user() + r.client(), "tarnS-1-22-1-4242unit");
  }
}

// An answer with `result` and a value of `kind` (none when negative).
Reply Answer(uint32_t result, int kind = -1, std::string bytes = {}) {
  Reply reply;
  reply.message.set_message_type(MessageType::Response);
  reply.message.set_result(result);
  if (kind >= 0) reply.message.SetValue(static_cast<uint8_t>(kind), std::move(bytes));
  return reply;
}

// Values decode as notifications do; no unreadable answer harms the client.
TEST(ClientAnswerTest, AnswersAreReadStrictlyAndTheClientSurvivesWhatItCannotRead) {
  ScopedService env;
  Reply next;
  std::mutex mu;
  ScriptedService service([&](const IpcMessage& request, Reply* reply) {
    const std::string& p = request.path();
    IpcMessage& m = reply->message;
    std::lock_guard lock(mu);
    if (p == "p") *reply = next;
    if (p == "text") IpcValue::SetString(&m, "x");
    if (p == "number") IpcValue::SetInteger(&m, 12);
    if (p == "meta") IpcValue::SetPair(&m, 4, 3);
    if (p == "list") IpcValue::SetList(&m, {{"0", 2}, {"z", 9}});
    if (p == "list.bad") m.SetValue(ValueKind::List, std::string("\3\0\0\0\1\1\1a,b", 9));
    if (request.message_type() == MessageType::CheckConnected) IpcValue::SetBoolean(&m, true);
  });
  auto client = ConnectOrFail();
  ASSERT_TRUE(client);
  Reply garbage, empty, not_a_response = Answer(0), refused;
  garbage.raw = "garbage, not an envelope";
  empty.raw = "";
  not_a_response.message.set_message_type(MessageType::Notification);
  refused.handled = false;
  const Status bad = Status::FromError(ClientError::BadResponse);
  const struct { const char* name; Reply reply; Status status; json value; } cases[] = {
      {"nothing", Answer(0), {}, nullptr},
      {"smallest integer", Answer(0, 2, Int64Bytes(INT64_MIN)), {}, INT64_MIN},
      {"boolean of two bytes", Answer(0, 1, std::string("\1\0", 2)), bad, nullptr},
      {"integer of four bytes", Answer(0, 2, "\1\0\0\0"), bad, nullptr},
      {"nothing with bytes", Answer(0, 0, "x"), bad, nullptr},
      {"text not UTF-8", Answer(0, 3, "caf\xe9"), bad, nullptr},
      {"JSON nested without end", Answer(0, 4, std::string(5000, '[')), bad, nullptr},
      {"an unknown kind", Answer(0, 42), bad, nullptr},
      {"garbage bytes", garbage, bad, nullptr},
      {"no bytes", empty, bad, nullptr},
      {"an envelope that is no response", not_a_response, bad, nullptr},
      {"a request the service did not handle", refused, Status::FromError(ClientError::NotHandled), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mu);
      next = c.reply;
    }
    const auto r = client->GetValue("p");
    EXPECT_EQ(r.status, c.status) << r.status.Message();
    if (c.status.ok()) {
      EXPECT_EQ(r.value, c.value);
    }
    EXPECT_TRUE(client->GetValue("fine").ok());
    EXPECT_TRUE(client->connected());
  }

  EXPECT_EQ(client->GetInt("number").value, 12);
  EXPECT_EQ(client->GetInt("text").status.error(), ClientError::UnexpectedType);
  // A type and the admin-only mark, and entries that are objects, are velderctl's meta and ls, end to end.
  EXPECT_TRUE(client->GetMetaData("meta").value.read_only());
  EXPECT_EQ(client->GetMetaData("number").status.error(), ClientError::BadResponse);
  const std::vector<velder::Entry> want = {{"0", velder::ValueType::Array}, {"z", velder::ValueType::Other}};
  EXPECT_EQ(client->Enumerate("list").value, want);
  EXPECT_EQ(client->Enumerate("list.bad").status.error(), ClientError::BadResponse);
  EXPECT_EQ(client->Enumerate("text").status.error(), ClientError::BadResponse);
  EXPECT_TRUE(client->CheckConnected().value);
}

TEST(ClientConnectionTest, ServiceThatClosesOrBreaksTheConnection) {
  using Connection = ipc_test::RawSocket;
  const std::pair<const char*, RawService::Act> cases[] = {
      {"sends a frame of an unknown kind", [](Connection& c, const std::string&) { c.Write(RawFrame(9, "????")); }},
      {"sends half a frame and closes",
       [](Connection& c, const std::string& id) {
         c.Write(RawFrame(HV_IPC_FRAME_RESPONSE, id + U32(0) + "abc").substr(0, 9));
       }},
  };
  for (const auto& [name, act] : cases) {
    SCOPED_TRACE(name);
    ScopedService env;
    RawService raw(env.dir(), act);
    std::promise<Notification::Kind> heard;
    ClientOptions options;
    options.on_notification = [&](const Notification& n) { heard.set_value(n.kind); };
    auto client = ConnectOrFail(options);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->GetValue("a").status.error(), ClientError::Disconnected);
    // The raw service closes every connection after one request.
    EXPECT_EQ(heard.get_future().get(), Notification::Kind::Disconnected);
    EXPECT_FALSE(client->connected());
  }
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
  EXPECT_TRUE(client->GetValue("quick").ok());
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
  const uint32_t gone = service.Notify(channel, note);
  EXPECT_TRUE(gone == HV_IPC_NOT_FOUND || gone == HV_IPC_DISCONNECTED) << gone;  // not a channel kept (time-out)
  EXPECT_EQ(calls.load(), 2);
}

}  // namespace
