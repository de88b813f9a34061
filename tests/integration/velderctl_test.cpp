// velderctl against the real service: what a newcomer does first (write,
// read, list, delete), administrator-only marks as root and as an ordinary
// user, status and users. (How velderctl prints, watches and maps failures to
// exit codes is the client's own test; that settings outlive a restart, the
// crash rounds'.)
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "service_sandbox.h"

namespace integration {
namespace {

using client_test::RunVelderctl;
using nlohmann::json;
using Velderctl = ServiceTest;

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

TEST_F(Velderctl, WritesReadsListsAndDeletesTypedValues) {
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
      {{"--json", "get", "app.title"}, 0, "\"Hello, world\"\n"},
      {{"get", "app.code"}, 0, "007\n"},
      {{"--json", "get", "app.limits"}, 0, "{\"ratio\":2.5,\"tags\":[\"a\",\"b\"]}\n"},
      {{"get", "app.limits.tags.1"}, 0, "b\n"},
      {{"ls", "app"}, 0, "code\tstring\nlimits\tobject\ntitle\tstring\nwindow\tobject\n"},
      {{"ls", "app.title"}, 11, ""},
      {{"meta", "app.window"}, 0, "type: object\nconstraints: none\n"},
      {{"rm", "app.window.visible"}, 0, ""},
      {{"get", "app.window.visible"}, 10, ""},
      {{"get", "app..x"}, 64, ""},
      {{"set", "app.x", "[x"}, 65, ""},
      {{"set", "app.x", "99999999999999999999"}, 65, ""},
      {{"set", "app.x", "1", "--type", "float"}, 64, ""},
      {{"set", "app.x"}, 64, ""},
      {{"--user", "root", "get", "app.x"}, 64, ""},
      {{"--identity", "../x", "get", "app.x"}, 64, ""},
      {{"get", "app.x"}, 10, ""},  // nothing refused was written
  };
  for (const auto& s : steps) EXPECT_EQ(Check(s.args, s.rc, s.out), "");
}

TEST_F(Velderctl, AdministratorOnlyMarksBindOrdinaryUsers) {
  const auto with_user = [](std::vector<std::string> args) {
    args.insert(args.begin(), {"--user", kNobodySid});
    return args;
  };
  ASSERT_EQ(Check(with_user({"set", "app.locked.level", "1"}), 0), "");
  ASSERT_EQ(Check(with_user({"lock", "app.locked"}), 0), "");
  ASSERT_EQ(Check(with_user({"meta", "app.locked.level"}), 0, "type: number\nconstraints: admin-only\n"), "");
  EXPECT_EQ(RunAsNobody([] {
              return Check({"get", "app.locked.level"}, 0, "1\n") + Check({"set", "app.locked.level", "2"}, 12) +
                     Check({"users"}, 5);
            }),
            "");
  ASSERT_EQ(Check(with_user({"unlock", "app.locked"}), 0), "");
  EXPECT_EQ(RunAsNobody([] { return Check({"set", "app.locked.level", "2"}, 0); }), "");
  // A mark above the path still holds after unlocking the path itself, and velderctl says so.
  ASSERT_EQ(Check(with_user({"lock", "app"}), 0), "");
  const Ran ran = RunVelderctl(with_user({"unlock", "app.locked"}));
  EXPECT_EQ(ran.rc, 0);
  EXPECT_NE(ran.err.find("still admin-only"), std::string::npos) << ran.err;
}

TEST_F(Velderctl, StatusAndUsers) {
  // No settings server is configured: the hive has never been connected.
  const Ran status = RunVelderctl({"--json", "status"});
  ASSERT_EQ(status.rc, 0) << status.err;
  EXPECT_EQ(json::parse(status.out)["connected"], false) << status.out;
  ASSERT_EQ(Check({"--user", kNobodySid, "set", "kept.text", "for nobody"}, 0), "");
  // Users are listed by their saved hive files.
  RestartHost();
  EXPECT_EQ(Check({"--json", "users"}, 0, "[\"S-1-22-1-65534\",\"S-1-5-18\"]\n"), "");
}

}  // namespace
}  // namespace integration
