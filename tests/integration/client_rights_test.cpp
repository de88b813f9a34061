// Who may do what, seen from real clients: the kernel names the caller, the
// request only names the hive. An unprivileged user reaches their own hive,
// however its SID is spelled, may read the system hive, and nothing else.
#include <gtest/gtest.h>

#include <set>

#include "envelope_client.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;
using ClientRights = ServiceTest;

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

TEST_F(ClientRights, AnUnprivilegedUserReachesOnlyTheirOwnHiveAndReadsTheSystemHive) {
  ASSERT_EQ(Expect("system set", EnvelopeClient::Connect()->Set("app.motd", "hello"), 0), "");
  EXPECT_EQ(RunAsNobody([] {
              auto client = EnvelopeClient::Connect("velder", false);
              if (client == nullptr) return std::string("cannot connect\n");
              std::string report;
              report += Expect("own set", client->Set("app.theme", "dark"), 0);
              report += Expect("own get by SID", client->Get("app.theme", kNobodySid), 0, json("dark"));
              report += Expect("own delete", client->Delete("app.theme"), 0);
              report += Expect("own set again", client->Set("app.theme", "light"), 0);
              report += Expect("other get", client->Get("app.theme", kOtherSid), 5);
              report += Expect("other subscribe", client->Subscribe("app", kOtherSid), 5);
              report += Expect("system get lower case", client->Get("app.motd", "s-1-5-18"), 0, json("hello"));
              report += Expect("own get, leading zeros", client->Get("app.theme", "S-1-22-1-065534"), 0, json("light"));
              report += Expect("system set, leading zeros", client->Set("app.motd", "mine", "S-1-5-018"), 5);
              report += Expect("system set", client->Set("app.motd", "mine", "S-1-5-18"), 5);
              report += Expect("system delete", client->Delete("app.motd", "S-1-5-18"), 5);
              const Reply reload = client->Raw(HV_IPC_KIND_RELOAD_BASE_FILE, "");
              if (reload.status != HV_IPC_NOT_HANDLED) report += "reload: status " + std::to_string(reload.status);
              return report;
            }),
            "");
  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Expect("system unchanged", root->Get("app.motd"), 0, json("hello")), "");
  EXPECT_EQ(Expect("user's value", root->Get("app.theme", "s-1-022-1-65534"), 0, json("light")), "");
  root.reset();
  StopHost();
  // Every spelling named the one hive of each account; refused requests made none.
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(sandbox_.data())) {
    if (entry.path().string().ends_with(".local.velder")) files.insert(entry.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"tarn." + kNobodySid + ".local.velder", "tarn.S-1-5-18.local.velder"}));
}

// Administrator-only marks on array elements hold whatever path a user
// writes: a value written above a marked element may not change, drop or
// move it.
TEST_F(ClientRights, AdminOnlyMarksOnArrayElementsCannotBeBypassedFromAbove) {
  auto root = EnvelopeClient::Connect();
  ASSERT_EQ(Expect("arr", root->Set("arr", json::parse(R"([{"n":1},{"n":2},{"n":3}])"), kNobodySid), 0), "");
  IpcMessage mark = EnvelopeClient::Request(MessageType::SetMetaData, "arr.1", kNobodySid);
  IpcValue::SetPair(&mark, 0, 2);
  ASSERT_EQ(Expect("mark", root->Send(std::move(mark)), 0), "");
  root.reset();
  EXPECT_EQ(RunAsNobody([] {
              auto client = EnvelopeClient::Connect("velder", false);
              if (client == nullptr) return std::string("cannot connect\n");
              const struct {
                const char* path;
                const char* value;  // null: delete
                uint32_t result;
              } cases[] = {
                  {"arr", R"([{"n":1},{"n":99},{"n":3}])", 12}, {"arr", R"([{"n":1}])", 12},
                  {"arr.0", nullptr, 12},  // would move the marked element
                  {"arr.1.n", "7", 12},
                  // Writes that leave the marked element as it is.
                  {"arr", R"([{"n":5},{"n":2},{"n":6}])", 0}, {"arr.2", R"({"n":8})", 0},
              };
              std::string report;
              for (const auto& c : cases) {
                report += Expect(std::string(c.value ? "set " : "delete ") + c.path,
                                 c.value ? client->Set(c.path, json::parse(c.value)) : client->Delete(c.path), c.result);
              }
              return report;
            }),
            "");
  EXPECT_EQ(Expect("after", EnvelopeClient::Connect()->Get("arr", kNobodySid), 0,
                   json::parse(R"([{"n":5},{"n":2},{"n":8}])")),
            "");
}

}  // namespace
}  // namespace integration
