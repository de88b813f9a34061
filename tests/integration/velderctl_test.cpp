// velderctl against the real service: what a newcomer does first (write,
// read, list, delete), administrator-only marks as root and as an ordinary
// user, watching changes, status, users, and settings that outlive a restart.
#include <gtest/gtest.h>

#include <signal.h>

#include <nlohmann/json.hpp>

#include "client/program.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using client_test::Program;
using client_test::Ran;
using client_test::RunVelderctl;
using nlohmann::json;

constexpr uid_t kNobody = 65534;
const std::string kNobodySid = "S-1-22-1-65534";

// "" when velderctl with `args` ended with `rc` and printed `out` (when given);
// else what differed.
std::string Check(const std::vector<std::string>& args, int rc, const std::optional<std::string>& out = {}) {
  const Ran ran = RunVelderctl(args);
  std::string what;
  for (const auto& a : args) what += a + " ";
  if (ran.rc != rc) return what + "-> exit " + std::to_string(ran.rc) + ", expected " + std::to_string(rc) + ": " + ran.err;
  if (out && ran.out != *out) return what + "-> printed '" + ran.out + "', expected '" + *out + "'\n";
  return {};
}

class VelderctlService : public testing::Test {
 protected:
  void SetUp() override {
    host_.emplace(HostProcess::DefaultArguments(sandbox_));
    ASSERT_TRUE(host_->WaitRunning()) << host_->err();
  }
  void Restart() {
    ASSERT_EQ(host_->Stop(), 0) << host_->err();
    host_.emplace(HostProcess::DefaultArguments(sandbox_));
    ASSERT_TRUE(host_->WaitRunning()) << host_->err();
  }

  Sandbox sandbox_;
  std::optional<HostProcess> host_;
};

TEST_F(VelderctlService, WritesReadsListsAndDeletesTypedValues) {
  const struct {
    std::vector<std::string> args;
    int rc;
    std::optional<std::string> out;
  } steps[] = {
      {{"set", "app.window.width", "800"}, 0, ""},
      {{"set", "app.window.visible", "true"}, 0, ""},
      {{"set", "app.title", "Hello, world"}, 0, ""},
      {{"set", "app.code", "007"}, 0, ""},
      {{"set", "app.limits", R"({"ratio":2.5,"tags":["a","b"]})"}, 0, ""},
      {{"set", "app.window.width", "wide"}, 11, ""},  // a number stays a number
      {{"get", "app.window.width"}, 0, "800\n"},
      {{"get", "app.window.visible"}, 0, "true\n"},
      {{"get", "app.title"}, 0, "Hello, world\n"},
      {{"--json", "get", "app.title"}, 0, "\"Hello, world\"\n"},
      {{"get", "app.code"}, 0, "007\n"},
      {{"--json", "get", "app.limits"}, 0, "{\"ratio\":2.5,\"tags\":[\"a\",\"b\"]}\n"},
      {{"get", "app.limits.tags.1"}, 0, "b\n"},
      {{"ls", "app"}, 0, "code\tstring\nlimits\tobject\ntitle\tstring\nwindow\tobject\n"},
      {{"ls", "app.limits.tags", "--json"}, 0, R"([{"name":"0","type":"string"},{"name":"1","type":"string"}])" "\n"},
      {{"ls", "app.title"}, 11, ""},
      {{"meta", "app.window"}, 0, "type: object\nconstraints: none\n"},
      {{"rm", "app.window.visible"}, 0, ""},
      {{"get", "app.window.visible"}, 10, ""},
      {{"rm", "app.window.visible"}, 10, ""},
      {{"get", "app..x"}, 64, ""},
      {{"set", "app.x", "null", "--type", "json"}, 65, ""},
      {{"set", "app.x", "[x"}, 65, ""},
      {{"set", "app.x", "99999999999999999999"}, 65, ""},
      {{"set", "app.x", "1", "--type", "float"}, 64, ""},
      {{"set", "app.x"}, 64, ""},
      {{"--user", "root", "get", "app.x"}, 64, ""},
      {{"--identity", "../x", "get", "app.x"}, 64, ""},
      {{}, 64, ""},
      {{"get", "app.x"}, 10, ""},  // nothing refused was written
  };
  for (const auto& s : steps) EXPECT_EQ(Check(s.args, s.rc, s.out), "");
}

TEST_F(VelderctlService, AdministratorOnlyMarksBindOrdinaryUsers) {
  const std::vector<std::string> as_nobody = {"--user", kNobodySid};
  auto with_user = [&](std::vector<std::string> args) {
    args.insert(args.begin(), as_nobody.begin(), as_nobody.end());
    return args;
  };
  ASSERT_EQ(Check(with_user({"set", "app.locked.level", "1"}), 0), "");
  ASSERT_EQ(Check(with_user({"lock", "app.locked"}), 0), "");
  ASSERT_EQ(Check(with_user({"meta", "app.locked.level"}), 0, "type: number\nconstraints: admin-only\n"), "");

  const std::string report = RunAsUser(kNobody, kNobody, [] {
    std::string failures;
    failures += Check({"get", "app.locked.level"}, 0, "1\n");
    failures += Check({"set", "app.locked.level", "2"}, 12);
    failures += Check({"rm", "app.locked"}, 12);
    failures += Check({"set", "app.free", "yes"}, 0);
    failures += Check({"unlock", "app.locked"}, 5);
    failures += Check({"--user", "S-1-22-1-4242", "get", "app.free"}, 5);
    failures += Check({"--user", "S-1-5-18", "set", "app.free", "1"}, 5);
    failures += Check({"users"}, 5);
    return failures;
  });
  EXPECT_EQ(report, "");

  ASSERT_EQ(Check(with_user({"unlock", "app.locked"}), 0), "");
  EXPECT_EQ(RunAsUser(kNobody, kNobody, [] { return Check({"set", "app.locked.level", "2"}, 0); }), "");
  // A mark above the path still holds after unlocking the path itself, and velderctl says so.
  ASSERT_EQ(Check(with_user({"lock", "app"}), 0), "");
  const Ran ran = RunVelderctl(with_user({"unlock", "app.locked"}));
  EXPECT_EQ(ran.rc, 0);
  EXPECT_NE(ran.err.find("still admin-only"), std::string::npos) << ran.err;
}

TEST_F(VelderctlService, WatchPrintsOthersChangesUntilInterrupted) {
  Program watch({BuildProgram("velderctl"), "watch", "app", "--json"});
  // The watcher subscribes on its own time: write until it reports.
  std::string line;
  bool subscribed = false;
  for (int i = 0; i < 100 && !subscribed; ++i) {
    ASSERT_EQ(Check({"set", "app.probe", std::to_string(i)}, 0), "");
    subscribed = watch.ReadLine(&line, std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(subscribed) << watch.err();
  EXPECT_EQ(json::parse(line)["path"], "app.probe");
  while (watch.ReadLine(&line, std::chrono::milliseconds(200))) {
  }  // late reports of the probe

  ASSERT_EQ(Check({"set", "app.size", R"({"w":3,"h":4})"}, 0), "");
  ASSERT_EQ(Check({"set", "other.thing", "1"}, 0), "");  // not below "app"
  ASSERT_EQ(Check({"rm", "app.size.w"}, 0), "");
  std::vector<json> got;
  for (int i = 0; i < 3 && watch.ReadLine(&line); ++i) got.push_back(json::parse(line));
  const std::vector<json> want = {json{{"path", "app.size.h"}, {"value", 4}},
                                  json{{"path", "app.size.w"}, {"value", 3}},
                                  json{{"path", "app.size.w"}, {"removed", true}}};
  EXPECT_EQ(got, want);
  watch.Signal(SIGINT);
  EXPECT_EQ(watch.Wait(), 0) << watch.err();
}

TEST_F(VelderctlService, WatchEndsWithItsOwnCodeWhenTheServiceStops) {
  Program watch({BuildProgram("velderctl"), "watch"});
  std::string line;
  bool subscribed = false;
  for (int i = 0; i < 100 && !subscribed; ++i) {
    ASSERT_EQ(Check({"set", "probe", std::to_string(i)}, 0), "");
    subscribed = watch.ReadLine(&line, std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(subscribed) << watch.err();
  ASSERT_EQ(host_->Stop(), 0);
  EXPECT_EQ(watch.Wait(), 74);
  EXPECT_NE(watch.err().find("Disconnected"), std::string::npos) << watch.err();
  EXPECT_EQ(Check({"get", "probe"}, 69), "");
}

TEST_F(VelderctlService, StatusSyncAndSettingsThatOutliveARestart) {
  // No settings server is configured: the hive has never been connected.
  const Ran status = RunVelderctl({"--json", "status"});
  ASSERT_EQ(status.rc, 0) << status.err;
  EXPECT_EQ(json::parse(status.out)["connected"], false) << status.out;
  EXPECT_EQ(Check({"sync"}, 0), "");
  ASSERT_EQ(Check({"set", "kept.number", "-12"}, 0), "");
  ASSERT_EQ(Check({"--user", kNobodySid, "set", "kept.text", "for nobody"}, 0), "");

  Restart();
  EXPECT_EQ(Check({"get", "kept.number"}, 0, "-12\n"), "");
  EXPECT_EQ(Check({"--user", kNobodySid, "get", "kept.text"}, 0, "for nobody\n"), "");
  const Ran users = RunVelderctl({"--json", "users"});
  ASSERT_EQ(users.rc, 0) << users.err;
  const json list = json::parse(users.out);
  EXPECT_NE(std::find(list.begin(), list.end(), "S-1-5-18"), list.end()) << users.out;
  EXPECT_NE(std::find(list.begin(), list.end(), kNobodySid), list.end()) << users.out;
}

}  // namespace
}  // namespace integration
