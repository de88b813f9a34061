// Synchronisation with the real settings server over TLS: the first sync,
// push, uploads with their tags, conflicts, refusals, faulty answers, back-off,
// stops in the middle of a request and what a restart keeps.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "server_sync_fixture.h"

namespace integration {
namespace {

using client_test::Program;
using nlohmann::json;

int64_t Now() { return platform::CurrentClock().NowSeconds(); }

// The hive file's pending upload.
json PendingPatch(const Sandbox& sandbox) {
  const json local = json::parse(testing_support::ReadFile(sandbox.HiveFile(kSystemSid)), nullptr, false);
  return local.is_object() ? local.value("patch", json::object()) : json();
}

// Every "Server backoff: Ns" the plug-in logged, in order.
std::vector<int> LoggedBackoffs(const std::string& log) {
  std::vector<int> seconds;
  const std::string marker = "Server backoff: ";
  for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    seconds.push_back(std::stoi(log.substr(at + marker.size())));
  }
  return seconds;
}

TEST_F(ServerSync, FirstSyncPushUploadTagsAndPnsIdOnce) {
  // The fresh machine fetched the document, keeps it and says so.
  EXPECT_EQ(Get("greeting"), "from server");
  EXPECT_TRUE(Status().contains("last_successful_update_timestamp")) << Status();
  EXPECT_EQ(CountOf(AccessLog(), std::string(kGet) + "200"), 1u) << AccessLog();

  // A change on the server reaches a watching client over the push stream.
  Program watch({BuildProgram("velderctl"), "watch"});
  std::string line;
  bool subscribed = false;
  for (int i = 0; i < 100 && !subscribed; ++i) {
    ASSERT_EQ(Ctl({"set", "probe", std::to_string(i)}).rc, 0);
    subscribed = watch.ReadLine(&line, std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(subscribed) << watch.err();
  ASSERT_EQ(Admin({"product", "patch-values", "any", R"({"greeting":"pushed"})"}).rc, 0);
  EXPECT_TRUE(watch.WaitForOutput("pushed", std::chrono::seconds(10))) << watch.out() << AccessLog();

  // Nothing new: 304, and the tag stays.
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kGet) + "304")) << AccessLog();
  EXPECT_TRUE(WaitFor([] { return Status().value("last_result", "") == "up to date"; })) << Status();

  // A local change goes up (at once with sync, as an exchange just happened);
  // the server takes it only with the current tag.
  ASSERT_EQ(Ctl({"set", "greeting", "local"}).rc, 0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "200")) << AccessLog();
  EXPECT_EQ(ServerValues(), json({{"greeting", "local"}}));
  // The hive file is saved after the answer is in.
  EXPECT_TRUE(WaitFor([&] { return PendingPatch(sandbox_) == json::object(); })) << PendingPatch(sandbox_);

  // After a restart the stream brings the same pns id: it is not reported again.
  RestartHost();
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitPluginLog("Register to push", 2)) << sandbox_.PluginLogText();
  ASSERT_TRUE(WaitFor([&] { return Admin({"client", "list"}).out.find("streams=1") != std::string::npos; }));
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kGet) + "304", 3)) << AccessLog();
  EXPECT_EQ(CountOf(AccessLog(), kNode), 1u) << AccessLog();
  EXPECT_EQ(Get("greeting"), "local");
}

TEST_F(ServerSync, ConflictRefusalAndTokenRefresh) {
  // An upload that fails (503) stays pending and backs off within 1..10 s
  // (1..20 s when the sync asked for while it ran tried again).
  ASSERT_EQ(Admin({"fault", "add", "status", "--status", "503", "--on", "patch", "--count", "2"}).rc, 0);
  ASSERT_EQ(Ctl({"set", "count", "7"}).rc, 0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "503")) << AccessLog();
  json status;
  ASSERT_TRUE(WaitFor([&] { return (status = Status()).contains("server_backoff_until"); })) << status;
  EXPECT_LE(status["server_backoff_until"].get<int64_t>(), Now() + 20);
  EXPECT_TRUE(WaitFor([&] { return PendingPatch(sandbox_) == json({{"count", 7}}); })) << PendingPatch(sandbox_);
  ASSERT_EQ(Admin({"fault", "clear"}).rc, 0);

  // The server's schema now refuses 7. The pending upload meets a newer tag
  // (412), the new document is fetched, the change is re-sent against it and
  // refused (422): it is dropped, and the hive shows the server's value.
  ASSERT_EQ(Admin({"product", "set-schema", "any",
                   R"({"greeting":{"type":"string","default":"default"},"count":{"type":"integer","default":1,"maximum":5}})"})
                .rc,
            0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "422")) << AccessLog();
  const std::string log = AccessLog();
  const size_t conflict = log.find(std::string(kPatch) + "412");
  ASSERT_NE(conflict, std::string::npos) << log;
  EXPECT_LT(log.find(std::string(kGet) + "200", conflict), log.find(std::string(kPatch) + "422")) << log;
  EXPECT_TRUE(WaitFor([&] { return PendingPatch(sandbox_) == json::object(); })) << PendingPatch(sandbox_);
  EXPECT_EQ(Get("count"), "1");
  EXPECT_EQ(ServerValues(), json::object());

  // 412 with a change the server accepts: fetched, then re-sent in the same exchange.
  ASSERT_EQ(host_->Stop(), 0);  // no push stream: the client's tag goes stale
  ASSERT_EQ(Admin({"product", "patch-values", "any", R"({"greeting":"newer"})"}).rc, 0);
  StartHost();
  ASSERT_EQ(Ctl({"set", "count", "3"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "412", 2)) << AccessLog();
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "200")) << AccessLog();
  EXPECT_EQ(ServerValues(), json({{"count", 3}}));
  EXPECT_EQ(Get("greeting"), "newer");

  // 401: a new token is fetched, and the next exchange succeeds.
  const size_t tokens = CountOf(AccessLog(), std::string(kToken) + "200");
  ASSERT_EQ(Admin({"fault", "add", "status", "--status", "401", "--on", "get"}).rc, 0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kGet) + "401")) << AccessLog() << sandbox_.PluginLogText();
  ASSERT_TRUE(WaitAccess(std::string(kToken) + "200", tokens + 1)) << AccessLog();
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  EXPECT_TRUE(WaitAccess(std::string(kGet) + "304")) << AccessLog();
  EXPECT_TRUE(WaitFor([] { return Status().value("connected", false); })) << Status();
}

TEST_F(ServerSync, FaultyAnswersKeepTheBaseAndTheTag) {
  const struct {
    const char* kind;
    const char* in_log;
  } faults[] = {{"oversize", "Failed 'S-1-5-18'"}, {"no-etag", "Missing ETAG"}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.kind);
    const size_t before = CountOf(sandbox_.PluginLogText(), fault.in_log);
    const size_t gets = CountOf(AccessLog(), kGet);
    ASSERT_EQ(Admin({"fault", "add", fault.kind, "--on", "get"}).rc, 0);
    ASSERT_EQ(Ctl({"sync"}).rc, 0);
    ASSERT_TRUE(WaitAccess(kGet, gets + 1)) << AccessLog();
    EXPECT_TRUE(WaitPluginLog(fault.in_log, before + 1)) << sandbox_.PluginLogText();
    EXPECT_TRUE(WaitFor([] { return Status().value("last_result", "").starts_with("failed"); })) << Status();
    EXPECT_EQ(Get("greeting"), "from server");
  }
  // The tag survived every fault: nothing new is 304.
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  EXPECT_TRUE(WaitAccess(std::string(kGet) + "304")) << AccessLog();
  EXPECT_TRUE(WaitFor([] { return Status().value("last_result", "") == "up to date"; })) << Status();
}

TEST_F(ServerSync, RefusedClientFallsBackAndTooManyRequestsBacksOff) {
  // A user hive has a base file of its own. (403 takes 404's branch in ServerComm; that a
  // refused user hive loses it is SettingsUpdateCycleTest.LosingTheServerCopyFallsBackToTheSystemBase.)
  ASSERT_EQ(Ctl({"--user", kNobodySid, "sync"}).rc, 0);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(sandbox_.HiveFile(kNobodySid, "base")); })) << AccessLog();

  // 404 for the system hive: not connected, the late-bound values, watchers told.
  Program watch({BuildProgram("velderctl"), "watch", "greeting"});
  ASSERT_EQ(Admin({"fault", "add", "status", "--status", "404", "--on", "get", "--sid", kSystemSid}).rc, 0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kGet) + "404")) << AccessLog();
  EXPECT_TRUE(watch.WaitForOutput("latebound", std::chrono::seconds(10))) << watch.out();
  const json refused = Status();
  EXPECT_EQ(refused.value("connected", true), false) << refused;
  EXPECT_GT(refused.value("next_check", int64_t{0}), Now() + 29 * 24 * 3600) << refused;
  EXPECT_EQ(Get("greeting"), "latebound");
  // velderctl sync retries at once.
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitFor([] { return Status().value("connected", false); })) << Status();
  EXPECT_EQ(Get("greeting"), "from server");

  // 429 twice: the hive retries by itself, and each back-off stays within
  // 1..10 s, then 1..20 s.
  const size_t logged = LoggedBackoffs(sandbox_.PluginLogText()).size();
  ASSERT_EQ(
      Admin({"fault", "add", "status", "--status", "429", "--on", "get", "--count", "2", "--sid", kSystemSid}).rc, 0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kGet) + "429", 2, std::chrono::seconds(40))) << AccessLog();
  ASSERT_TRUE(WaitFor([&] { return LoggedBackoffs(sandbox_.PluginLogText()).size() >= logged + 2; }));
  const std::vector<int> backoffs = LoggedBackoffs(sandbox_.PluginLogText());
  EXPECT_LE(backoffs[logged], 10);  // a back-off of 0 s is not logged at all
  EXPECT_LE(backoffs[logged + 1], 20);
  EXPECT_TRUE(WaitFor([] { return Status().value("last_result", "") == "up to date"; }, std::chrono::seconds(40)))
      << Status();
}

TEST_F(ServerSync, ChangesDuringUploadsStopsAndRestartsAreKept) {
  // A change made while an upload is in flight stays pending and goes up next.
  ASSERT_EQ(Admin({"fault", "add", "delay", "--delay-ms", "2000", "--on", "patch"}).rc, 0);
  const size_t starts = CountOf(sandbox_.PluginLogText(), "Settings::UpdateStart");
  ASSERT_EQ(Ctl({"set", "greeting", "first"}).rc, 0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitPluginLog("Settings::UpdateStart", starts + 1));
  ASSERT_EQ(Ctl({"set", "count", "3"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "200")) << AccessLog();
  EXPECT_TRUE(WaitFor([&] { return PendingPatch(sandbox_) == json({{"count", 3}}); })) << PendingPatch(sandbox_);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "200", 2)) << AccessLog();
  EXPECT_EQ(ServerValues(), json({{"greeting", "first"}, {"count", 3}}));

  // A stop in the middle of a slow request ends long before the answer would
  // come, and the change is uploaded after the restart.
  ASSERT_EQ(Admin({"fault", "add", "delay", "--delay-ms", "60000", "--on", "patch"}).rc, 0);
  ASSERT_EQ(Ctl({"set", "greeting", "kept"}).rc, 0);
  ASSERT_EQ(Ctl({"sync"}).rc, 0);
  ASSERT_TRUE(WaitFor([&] { return Admin({"--json", "status"}).out.find("\"faults\":0") != std::string::npos; }));
  const auto stopping = std::chrono::steady_clock::now();
  ASSERT_EQ(host_->Stop(), 0) << host_->err();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10));
  StartHost();
  ASSERT_TRUE(WaitAccess(std::string(kPatch) + "200", 3)) << AccessLog();
  EXPECT_EQ(ServerValues(), json({{"greeting", "kept"}, {"count", 3}}));
}

}  // namespace
}  // namespace integration
