// What one client leaves behind for everybody: request statistics in the
// system hive, the server back-off, the log, change notifications (every
// subscriber but the writer hears of a change, in order). However many
// connections or requests a user makes, what they cost others stays bounded.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "envelope_client.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;
using SharedState = ServiceTest;

TEST_F(SharedState, StatisticsStayBoundedHoweverManyClientsAndReports) {
  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  for (int round = 0; round < 30; ++round) {
    ASSERT_EQ(root->Set("windows.velder.statistics_on", true).result(), 0u);
    // Every request on a connection of its own: one program three times,
    // and in the last round 40 programs.
    const int connections = round < 29 ? 3 : 40;
    for (int i = 0; i < connections; ++i) {
      auto client = EnvelopeClient::Connect();
      ASSERT_NE(client, nullptr);
      IpcMessage request = EnvelopeClient::Request(MessageType::GetValue, "windows");
      request.set_client(round < 29 ? "settings-panel" : "tool-" + std::to_string(i));
      client->Send(std::move(request));
    }
    ASSERT_EQ(root->Set("windows.velder.statistics_on", false).result(), 0u);
  }
  root.reset();
  StopHost();
  const json local = json::parse(testing_support::ReadFile(sandbox_.HiveFile("S-1-5-18")));
  const json& reports = local.at("statistics");
  ASSERT_EQ(reports.size(), 24u);
  // Rounds 0 to 5 are gone; connections of one program count as one originator.
  EXPECT_EQ(reports.front().at("by_originator").size(), 1u);
  EXPECT_EQ(reports.front().at("by_originator").at("settings-panel").at("total_count"), 3);
  const json& last = reports.back().at("by_originator");
  EXPECT_EQ(last.size(), 33u) << last.dump();  // 32 programs and the rest
  EXPECT_EQ(last.at("(other)").at("total_count"), 8);
}

// Synchronize stays open to everybody, but only an administrator resets the
// server back-off at will: any other user's reset counts once a minute. Each
// refused request logs a line; one user's flood of them must not push
// everybody's lines out of the rotating log files.
TEST_F(SharedState, AUserResetsTheServerBackoffAndHasRefusalsLoggedAtABoundedRate) {
  EXPECT_EQ(RunAsNobody([] {
              std::string report;
              for (int i = 0; i < 5; ++i) {  // a connection each, as a script calling velderctl would
                auto client = EnvelopeClient::Connect("velder", false);
                if (client == nullptr) return std::string("cannot connect\n");
                const Reply reply = client->Send(EnvelopeClient::Request(MessageType::Synchronize, "", "S-1-5-18"));
                if (reply.result() != 0) report += "sync " + std::to_string(i) + ": " + std::to_string(reply.result());
              }
              auto flooder = EnvelopeClient::Connect("velder", false);
              if (flooder == nullptr) return std::string("cannot connect\n");
              IpcMessage request = EnvelopeClient::Request(MessageType::GetValue, "a");
              request.set_name_space("");
              for (int i = 0; i < 300; ++i) flooder->Send(request);
              return report;
            }),
            "");
  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(root->Send(EnvelopeClient::Request(MessageType::Synchronize, "")).result(), 0u);
  root.reset();
  StopHost();
  const std::string log = sandbox_.PluginLogText();
  EXPECT_EQ(CountOf(log, "Server back-off reset on request"), 3u);
  // Two lines a request, twenty lines a minute.
  EXPECT_EQ(CountOf(log, "Invalid request, missing namesspace"), 10u);
  EXPECT_EQ(CountOf(log, "Request handling failed"), 10u);
}

TEST_F(SharedState, EverySubscriberButTheWriterHearsEveryChangeInOrderAndALeaverHarmsNobody) {
  const std::string user = "S-1-22-1-777";
  constexpr int kListeners = 12, kWrites = 40;
  // The setting exists before anyone listens: each write then changes one
  // value. The listeners subscribe once that change has been delivered, since
  // a subscriber hears what is delivered after it subscribed.
  {
    auto setup = EnvelopeClient::Connect(), sentinel = EnvelopeClient::Connect();
    ASSERT_EQ(sentinel->Subscribe("counter", user).result(), 0u);
    ASSERT_EQ(setup->Set("counter.value", -100, user).result(), 0u);
    ASSERT_TRUE(sentinel->NextNotification().has_value());
  }
  std::vector<std::unique_ptr<EnvelopeClient>> listeners;
  for (int i = 0; i < kListeners; ++i) {
    listeners.push_back(EnvelopeClient::Connect());
    ASSERT_NE(listeners.back(), nullptr);
    ASSERT_EQ(listeners.back()->Subscribe(i % 2 == 0 ? "" : "counter", user).result(), 0u);
  }
  auto writer = EnvelopeClient::Connect(), elsewhere = EnvelopeClient::Connect();
  auto other_hive = EnvelopeClient::Connect();
  ASSERT_EQ(writer->Subscribe("counter", user).result(), 0u);
  ASSERT_EQ(elsewhere->Subscribe("other", user).result(), 0u);
  ASSERT_EQ(other_hive->Subscribe("counter", "S-1-22-1-778").result(), 0u);
  for (int n = 0; n < kWrites; ++n) {
    ASSERT_EQ(writer->Set("counter.value", n, user).result(), 0u);
    if (n == kWrites / 2) listeners[3].reset();  // leaves without unsubscribing
  }
  for (int i = 0; i < kListeners; ++i) {
    SCOPED_TRACE(i);
    for (int n = 0; listeners[i] && n < kWrites; ++n) {
      const std::optional<IpcMessage> heard = listeners[i]->NextNotification("counter.value");
      ASSERT_TRUE(heard.has_value()) << "write " << n;
      EXPECT_EQ(IpcValue::ToJson(*heard), json(n));
    }
  }
  // The service still answers, and still notifies the others; a delete is
  // heard as a value of no kind, by the writer of before too.
  ASSERT_EQ(listeners[1]->Delete("counter.value", user).result(), 0u);
  for (auto* client : {&listeners[0], &writer}) {
    const std::optional<IpcMessage> last = (*client)->NextNotification("counter.value");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->value_kind(), static_cast<uint8_t>(ValueKind::None));
  }
  for (auto* client : {&listeners[1], &writer, &elsewhere, &other_hive}) {
    EXPECT_EQ((*client)->PendingNotifications(), 0u);
  }
}

}  // namespace
}  // namespace integration
