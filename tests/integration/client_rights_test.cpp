// Who may do what, seen from real clients: the kernel names the caller, the
// request only names the hive. Root reaches every hive; an unprivileged user
// reaches their own, may read the system hive, and nothing else.
#include <gtest/gtest.h>

#include <set>

#include "envelope_client.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

constexpr uid_t kNobody = 65534;
const std::string kNobodySid = "S-1-22-1-65534";
const std::string kOtherSid = "S-1-22-1-4242";

// Checks one reply; the failure text, or empty.
std::string Expect(const std::string& what, const Reply& reply, uint32_t result,
                   const std::optional<json>& value = std::nullopt) {
  if (reply.status != HV_IPC_OK) return what + ": IPC status " + std::to_string(reply.status) + "\n";
  if (reply.result() != result) {
    return what + ": result " + std::to_string(reply.result()) + ", expected " + std::to_string(result) + "\n";
  }
  if (value && reply.value() != value) return what + ": value " + reply.value().value_or(json()).dump() + "\n";
  return {};
}

TEST(ClientRights, RootReachesEveryHiveWhateverTheCaseOfTheUserField) {
  Sandbox sandbox;
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);

  EXPECT_EQ(Expect("set lower", client->Set("app.size", 12, "s-1-22-1-4242"), 0), "");
  struct Case {
    std::string user;
    uint32_t result;
  } cases[] = {
      {"S-1-22-1-4242", 0}, {"s-1-22-1-4242", 0}, {"S-1-22-1-04242", 0}, {"s-1-022-1-4242", 0},
      {"S-1-22-1-x", 2},    {"../S-1-5-18", 2},   {"S-1-22-1-4242/..", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    EXPECT_EQ(Expect("get", client->Get("app.size", c.user), c.result,
                     c.result == 0 ? std::optional<json>(12) : std::nullopt),
              "")
        << c.user;
  }
  // Root's own hive is the system hive.
  EXPECT_EQ(Expect("set own", client->Set("app.root", true), 0), "");
  EXPECT_EQ(Expect("get system", client->Get("app.root", "S-1-5-018"), 0, json(true)), "");

  client.reset();
  ASSERT_EQ(host.Stop(), 0);
  // Every spelling named the one hive of each account.
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(sandbox.data())) {
    if (entry.path().filename().string().ends_with(".local.velder")) files.insert(entry.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"tarn.S-1-22-1-4242.local.velder", "tarn.S-1-5-18.local.velder"}));
}

TEST(ClientRights, AnUnprivilegedUserReachesOnlyTheirOwnHiveAndReadsTheSystemHive) {
  Sandbox sandbox;
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  {
    auto root = EnvelopeClient::Connect();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(Expect("system set", root->Set("app.motd", "hello"), 0), "");
  }

  const std::string failures = RunAsUser(kNobody, kNobody, [] {
    auto client = EnvelopeClient::Connect("velder", false);
    if (client == nullptr) return std::string("cannot connect\n");
    std::string report;
    report += Expect("own set", client->Set("app.theme", "dark"), 0);
    report += Expect("own get", client->Get("app.theme"), 0, json("dark"));
    report += Expect("own get by SID", client->Get("app.theme", kNobodySid), 0, json("dark"));
    report += Expect("own get lower case", client->Get("app.theme", "s-1-22-1-65534"), 0, json("dark"));
    report += Expect("own delete", client->Delete("app.theme"), 0);
    report += Expect("own set again", client->Set("app.theme", "light"), 0);
    report += Expect("other get", client->Get("app.theme", kOtherSid), 5);
    report += Expect("other set", client->Set("app.theme", "x", kOtherSid), 5);
    report += Expect("other delete", client->Delete("app.theme", kOtherSid), 5);
    report += Expect("other subscribe", client->Subscribe("app", kOtherSid), 5);
    report += Expect("system get", client->Get("app.motd", "S-1-5-18"), 0, json("hello"));
    report += Expect("system get lower case", client->Get("app.motd", "s-1-5-18"), 0, json("hello"));
    report += Expect("own get, leading zeros", client->Get("app.theme", "S-1-22-1-065534"), 0, json("light"));
    report += Expect("system set, leading zeros", client->Set("app.motd", "mine", "S-1-5-018"), 5);
    report += Expect("system set", client->Set("app.motd", "mine", "S-1-5-18"), 5);
    report += Expect("system delete", client->Delete("app.motd", "S-1-5-18"), 5);
    const Reply reload = client->Raw(HV_IPC_KIND_RELOAD_BASE_FILE, "");
    if (reload.status != HV_IPC_NOT_HANDLED) report += "reload: status " + std::to_string(reload.status) + "\n";
    return report;
  });
  EXPECT_EQ(failures, "");

  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Expect("system unchanged", root->Get("app.motd"), 0, json("hello")), "");
  EXPECT_EQ(Expect("user's value", root->Get("app.theme", kNobodySid), 0, json("light")), "");
  root.reset();
  ASSERT_EQ(host.Stop(), 0);
  // Refused requests never create a hive.
  EXPECT_TRUE(fs::exists(sandbox.HiveFile(kNobodySid)));
  for (const auto& entry : fs::directory_iterator(sandbox.data())) {
    EXPECT_EQ(entry.path().filename().string().find("4242"), std::string::npos) << entry.path();
  }
}

// Administrator-only marks hold whatever path a user writes: a value written
// above a marked path may not change or drop it, through object members or
// array elements alike.
TEST(ClientRights, AdminOnlyMarksCannotBeBypassedFromAbove) {
  Sandbox sandbox;
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(Expect("arr", root->Set("arr", json::parse(R"([{"n":1},{"n":2},{"n":3}])"), kNobodySid), 0), "");
  ASSERT_EQ(Expect("ao", root->Set("ao", json::parse(R"({"b":1,"c":0})"), kNobodySid), 0), "");
  for (const char* path : {"arr.1", "ao.b"}) {
    IpcMessage mark = EnvelopeClient::Request(MessageType::SetMetaData, path, kNobodySid);
    IpcValue::SetPair(&mark, 0, 2);
    ASSERT_EQ(Expect(std::string("mark ") + path, root->Send(std::move(mark)), 0), "");
  }

  const std::string failures = RunAsUser(kNobody, kNobody, [] {
    auto client = EnvelopeClient::Connect("velder", false);
    if (client == nullptr) return std::string("cannot connect\n");
    const struct {
      const char* path;
      const char* value;  // null: delete
      uint32_t result;
    } cases[] = {
        {"arr", R"([{"n":1},{"n":99},{"n":3}])", 12},
        {"arr", R"([{"n":1}])", 12},
        {"arr.0", nullptr, 12},  // would move the marked element
        {"ao", R"({"c":1})", 12},
        {"ao", R"({"b":5,"c":1})", 12},
        {"arr.1.n", "7", 12},
        {"ao.b", nullptr, 12},
        // Writes that leave the marked values as they are.
        {"arr", R"([{"n":5},{"n":2},{"n":6}])", 0},
        {"arr.2", R"({"n":8})", 0},
        {"ao.c", "7", 0},
    };
    std::string report;
    for (const auto& c : cases) {
      const std::string what = std::string(c.value ? "set " : "delete ") + c.path;
      report += Expect(what, c.value ? client->Set(c.path, json::parse(c.value)) : client->Delete(c.path), c.result);
    }
    return report;
  });
  EXPECT_EQ(failures, "");
  EXPECT_EQ(Expect("arr after", root->Get("arr", kNobodySid), 0, json::parse(R"([{"n":5},{"n":2},{"n":8}])")), "");
  EXPECT_EQ(Expect("ao after", root->Get("ao", kNobodySid), 0, json::parse(R"({"b":1,"c":7})")), "");
  root.reset();
  EXPECT_EQ(host.Stop(), 0);
}

}  // namespace
}  // namespace integration
