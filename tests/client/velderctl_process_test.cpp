// velderctl, the real program, against a scripted service: what it prints,
// what it sends, its exit codes, and watch until a signal or the service's end.
#include <gtest/gtest.h>

#include <signal.h>

#include "program.h"
#include "scripted_service.h"

namespace {

using client_test::Program;
using client_test::RunVelderctl;
using client_test::Reply;
using client_test::ScopedService;
using client_test::ScriptedService;

bool Is(const IpcMessage& m, MessageType type) { return m.message_type() == static_cast<uint8_t>(type); }

// Answers by path, the way a hive with a few settings would.
void Answer(const IpcMessage& request, Reply* reply) {
  IpcMessage& m = reply->message;
  const std::string& p = request.path();
  if (Is(request, MessageType::EnumerateUsers)) {
    IpcValue::SetList(&m, {{"S-1-5-18", 0}, {"S-1-22-1-1000", 0}});
  } else if (Is(request, MessageType::CheckConnected)) {
    IpcValue::SetBoolean(&m, true);
  } else if (Is(request, MessageType::GetMetaData)) {
    IpcValue::SetPair(&m, 3, 2);
  } else if (Is(request, MessageType::Enumerate)) {
    IpcValue::SetList(&m, {{"a", 1}, {"0", 2}});
  } else if (p == "text") {
    IpcValue::SetString(&m, "hello world");
  } else if (p == "obj") {
    m.SetValue(ValueKind::Json, R"({"a":[1,2]})");
  } else if (p == "num") {
    IpcValue::SetInteger(&m, 42);
  } else if (p == "missing") {
    m.set_result(ResultCode::NotFound);
  } else if (p == "denied") {
    m.set_result(ResultCode::AccessDenied);
  } else if (p == "garbage") {
    reply->raw = "not an envelope";
  } else if (p == "status.windows.velder") {
    m.SetValue(ValueKind::Json, R"({"connected":true,"last_connection_timestamp":1714564800})");
  }
}

TEST(VelderctlProcessTest, PrintsAnswersAndNamesFailures) {
  ScopedService env;
  ScriptedService service(Answer);
  ASSERT_EQ(service.result(), HV_IPC_OK);
  const struct {
    std::vector<std::string> args;
    int rc;
    std::string out;
    std::string err;  // a part of standard error
  } cases[] = {
      {{"get", "text"}, 0, "hello world\n", ""},
      {{"--json", "get", "text"}, 0, "\"hello world\"\n", ""},
      {{"get", "obj"}, 0, "{\n  \"a\": [\n    1,\n    2\n  ]\n}\n", ""},
      {{"get", "obj", "--json"}, 0, "{\"a\":[1,2]}\n", ""},
      {{"get", "num"}, 0, "42\n", ""},
      {{"get", "missing"}, 10, "", "velderctl: get 'missing': NotFound"},
      {{"rm", "denied"}, 5, "", "velderctl: rm 'denied': AccessDenied"},
      {{"get", "garbage"}, 70, "", "BadResponse"},
      {{"meta", "x"}, 0, "type: string\nconstraints: admin-only\n", ""},
      {{"--json", "meta", "x"}, 0, "{\"admin_only\":true,\"constraints\":2,\"read_only\":false,\"type\":\"string\"}\n",
       ""},
      {{"ls"}, 0, "a\tobject\n0\tarray\n", ""},
      {{"ls", "x", "--json"}, 0, "[{\"name\":\"a\",\"type\":\"object\"},{\"name\":\"0\",\"type\":\"array\"}]\n", ""},
      {{"users"}, 0, "S-1-5-18\nS-1-22-1-1000\n", ""},
      {{"status"}, 0,
       "connected: yes\nlast connection: 2024-05-01 12:00:00 UTC\nlast successful connection: never\n"
       "last successful update: never\n",
       ""},
      {{"sync"}, 0, "", ""},
      {{"get", "a..b"}, 64, "", "not a setting path"},
      {{"--user", "root", "get", "a"}, 64, "", "not a SID"},
      {{"--identity", "../x", "get", "a"}, 64, "", "not a valid identity"},
      {{"frobnicate"}, 64, "", ""},
      {{}, 64, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto ran = RunVelderctl(c.args);
    EXPECT_EQ(ran.rc, c.rc) << ran.err;
    EXPECT_EQ(ran.out, c.out);
    EXPECT_NE(ran.err.find(c.err), std::string::npos) << ran.err;
  }
}

TEST(VelderctlProcessTest, SendsTypedValuesAndGlobalOptions) {
  ScopedService env;
  ScriptedService service;
  const struct {
    std::vector<std::string> args;
    int rc;
    MessageType type;
    ValueKind kind;
    std::string value;
  } cases[] = {
      {{"set", "a", "5"}, 0, MessageType::SetValue, ValueKind::Integer, std::string("\5\0\0\0\0\0\0\0", 8)},
      {{"set", "a", "-1"}, 0, MessageType::SetValue, ValueKind::Integer, std::string(8, '\xff')},
      {{"set", "a", "true"}, 0, MessageType::SetValue, ValueKind::Boolean, "\1"},
      {{"set", "a", "hello"}, 0, MessageType::SetValue, ValueKind::String, "hello"},
      {{"set", "a", "007"}, 0, MessageType::SetValue, ValueKind::String, "007"},
      {{"set", "a", "{\"x\": 1}"}, 0, MessageType::SetValue, ValueKind::Json, "{\"x\":1}"},
      {{"set", "a", "5", "--type", "string"}, 0, MessageType::SetValue, ValueKind::String, "5"},
      {{"set", "a", "2.5", "--type", "json"}, 0, MessageType::SetValue, ValueKind::Json, "2.5"},
      {{"set", "a", "false", "--type", "bool"}, 0, MessageType::SetValue, ValueKind::Boolean, std::string(1, '\0')},
      {{"rm", "a"}, 0, MessageType::DeleteValue, ValueKind::None, ""},
      {{"lock", "a.b"}, 0, MessageType::SetMetaData, ValueKind::Pair, std::string("\0\0\0\0\2\0\0\0", 8)},
      {{"unlock", "a.b"}, 0, MessageType::SetMetaData, ValueKind::Pair, std::string(8, '\0')},
      {{"sync"}, 0, MessageType::Synchronize, ValueKind::None, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const size_t before = service.seen().size();
    const auto ran = RunVelderctl(c.args);
    EXPECT_EQ(ran.rc, c.rc) << ran.err;
    const auto seen = service.seen();
    ASSERT_GT(seen.size(), before);
    const IpcMessage& r = seen[before].request;
    EXPECT_EQ(r.message_type(), static_cast<uint8_t>(c.type));
    EXPECT_EQ(r.value_kind(), static_cast<uint8_t>(c.kind));
    EXPECT_EQ(r.value(), c.value);
    EXPECT_EQ(r.client(), "velderctl");
    EXPECT_EQ(r.name_space(), "tarn");
  }

  const auto ran = RunVelderctl({"--user", "s-1-22-1-77", "--client", "tester", "get", "a"});
  EXPECT_EQ(ran.rc, 0) << ran.err;
  const IpcMessage r = service.seen().back().request;
  EXPECT_EQ(r.user(), "s-1-22-1-77");
  EXPECT_EQ(r.client(), "tester");
}

TEST(VelderctlProcessTest, RefusesBadValuesWithoutAsking) {
  ScopedService env;
  ScriptedService service;
  const struct {
    std::vector<std::string> args;
    int rc;
    std::string err;
  } cases[] = {
      {{"set", "a", "[x"}, 65, "--type string"},
      {{"set", "a", "99999999999999999999"}, 65, "64-bit"},
      {{"set", "a", "yes", "--type", "bool"}, 65, "true or false"},
      {{"set", "a", "5x", "--type", "int"}, 65, "not a decimal integer"},
      {{"set", "a", "null", "--type", "json"}, 65, "null cannot be stored"},
      {{"set", "a", "1", "--type", "float"}, 64, ""},
      {{"set", "a"}, 64, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto ran = RunVelderctl(c.args);
    EXPECT_EQ(ran.rc, c.rc) << ran.err;
    EXPECT_NE(ran.err.find(c.err), std::string::npos) << ran.err;
  }
  EXPECT_TRUE(service.seen().empty());
}

TEST(VelderctlProcessTest, UnreachableServiceIsItsOwnExitCode) {
  ScopedService env;
  const auto ran = RunVelderctl({"get", "a"});
  EXPECT_EQ(ran.rc, 69);
  EXPECT_NE(ran.err.find("Unreachable"), std::string::npos) << ran.err;
  EXPECT_NE(ran.err.find(client_test::kIdentity), std::string::npos) << ran.err;
}

// Starts "velderctl watch", waits until it subscribed, and returns its channel.
std::string StartWatch(const ScriptedService& service, size_t subscriptions) {
  EXPECT_TRUE(service.WaitForRequests(subscriptions));
  const auto seen = service.seen();
  return seen.empty() ? std::string() : seen.back().channel;
}

TEST(VelderctlProcessTest, WatchPrintsChangesUntilSignalled) {
  const struct {
    int signal;
    bool json;
    std::vector<std::string> lines;
  } cases[] = {
      {SIGTERM, false, {"a.b = 5", "a.c = \"x\"", "a.b removed", "a.b constraints=2 (admin-only)"}},
      {SIGINT, true,
       {R"({"path":"a.b","value":5})", R"({"path":"a.c","value":"x"})", R"({"path":"a.b","removed":true})",
        R"({"admin_only":true,"constraints":2,"path":"a.b","read_only":false})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    ScopedService env;
    ScriptedService service;
    std::vector<std::string> args = {client_test::BuildProgram("velderctl"), "watch", "a", "z"};
    if (c.json) args.push_back("--json");
    Program watch(args);
    const std::string channel = StartWatch(service, 2);
    const auto seen = service.seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(Is(seen[0].request, MessageType::Subscribe));
    EXPECT_EQ(seen[0].request.path(), "a");
    EXPECT_EQ(seen[1].request.path(), "z");

    auto note = [](MessageType type, const char* path) {
      IpcMessage m;
      m.set_message_type(type);
      m.set_path(path);
      return m;
    };
    IpcMessage five = note(MessageType::Notification, "a.b");
    IpcValue::SetInteger(&five, 5);
    IpcMessage text = note(MessageType::Notification, "a.c");
    IpcValue::SetString(&text, "x");
    IpcMessage bits = note(MessageType::NotificationConstraints, "a.b");
    IpcValue::SetInteger(&bits, 2);
    for (const IpcMessage& m : {five, text, note(MessageType::Notification, "a.b"), bits}) {
      ASSERT_EQ(service.Notify(channel, m), HV_IPC_OK);
    }
    for (const auto& want : c.lines) {
      std::string line;
      ASSERT_TRUE(watch.ReadLine(&line)) << watch.err();
      EXPECT_EQ(line, want);
    }
    watch.Signal(c.signal);
    EXPECT_EQ(watch.Wait(), 0) << watch.err();
    // It leaves no subscription behind.
    EXPECT_TRUE(Is(service.seen().back().request, MessageType::UnsubscribeAll));
  }
}

TEST(VelderctlProcessTest, WatchFailsWhenTheServiceGoesAway) {
  ScopedService env;
  ScriptedService service;
  Program watch({client_test::BuildProgram("velderctl"), "watch"});
  const std::string channel = StartWatch(service, 1);
  EXPECT_EQ(service.seen()[0].request.path(), "");
  service.Stop();
  EXPECT_EQ(watch.Wait(), 74);
  EXPECT_NE(watch.err().find("Disconnected"), std::string::npos) << watch.err();
}

}  // namespace
