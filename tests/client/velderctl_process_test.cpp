// velderctl, the real program, against a scripted service: answers and
// failures the real service cannot be made to give, what is sent for typed
// values and options, and watch until a signal.
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
  if (Is(request, MessageType::CheckConnected)) {
    IpcValue::SetBoolean(&m, true);
  } else if (Is(request, MessageType::GetMetaData)) {
    IpcValue::SetPair(&m, 3, 2);
  } else if (p == "obj") {
    m.SetValue(ValueKind::Json, R"({"a":[1,2]})");
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
      {{"get", "obj"}, 0, "{\n  \"a\": [\n    1,\n    2\n  ]\n}\n", ""},
      {{"get", "obj", "--json"}, 0, "{\"a\":[1,2]}\n", ""},
      {{"get", "missing"}, 10, "", "velderctl: get 'missing': NotFound"},
      {{"rm", "denied"}, 5, "", "velderctl: rm 'denied': AccessDenied"},
      {{"get", "garbage"}, 70, "", "BadResponse"},
      {{"--json", "meta", "x"}, 0, "{\"admin_only\":true,\"constraints\":2,\"read_only\":false,\"type\":\"string\"}\n",
       ""},
      {{"status"}, 0,
       "connected: yes\nlast connection: 2024-05-01 12:00:00 UTC\nlast successful connection: never\n"
       "last successful update: never\n",
       ""},
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
    MessageType type;
    ValueKind kind;
    std::string value;
  } cases[] = {
      {{"set", "a", "-1"}, MessageType::SetValue, ValueKind::Integer, std::string(8, '\xff')},
      {{"set", "a", "5", "--type", "string"}, MessageType::SetValue, ValueKind::String, "5"},
      {{"set", "a", "2.5", "--type", "json"}, MessageType::SetValue, ValueKind::Json, "2.5"},
      {{"set", "a", "false", "--type", "bool"}, MessageType::SetValue, ValueKind::Boolean, std::string(1, '\0')},
      {{"lock", "a.b"}, MessageType::SetMetaData, ValueKind::Pair, std::string("\0\0\0\0\2\0\0\0", 8)},
      {{"unlock", "a.b"}, MessageType::SetMetaData, ValueKind::Pair, std::string(8, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const size_t before = service.seen().size();
    const auto ran = RunVelderctl(c.args);
    EXPECT_EQ(ran.rc, 0) << ran.err;
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

TEST(VelderctlProcessTest, WatchPrintsChangesUntilSignalled) {
  ScopedService env;
  ScriptedService service;
  Program watch({client_test::BuildProgram("velderctl"), "watch", "a", "z"});
  ASSERT_TRUE(service.WaitForRequests(2));
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
    ASSERT_EQ(service.Notify(seen[0].channel, m), HV_IPC_OK);
  }
  for (const char* want : {"a.b = 5", "a.c = \"x\"", "a.b removed", "a.b constraints=2 (admin-only)"}) {
    std::string line;
    ASSERT_TRUE(watch.ReadLine(&line)) << watch.err();
    EXPECT_EQ(line, want);
  }
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), 0) << watch.err();
  EXPECT_TRUE(Is(service.seen().back().request, MessageType::UnsubscribeAll)) << "a subscription left behind";
}

}  // namespace
