// What one client leaves behind for everybody: request statistics in the
// system hive, the server back-off, the log. However many connections or
// requests a user makes, what they cost others stays bounded.
#include <gtest/gtest.h>

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
// server back-off at will: any other user's reset counts once a minute.
TEST_F(SharedState, AUserResetsTheServerBackoffAtMostOnceAMinute) {
  EXPECT_EQ(RunAsNobody([] {
              std::string report;
              for (int i = 0; i < 5; ++i) {  // a connection each, as a script calling velderctl would
                auto client = EnvelopeClient::Connect("velder", false);
                if (client == nullptr) return std::string("cannot connect\n");
                const Reply reply = client->Send(EnvelopeClient::Request(MessageType::Synchronize, "", "S-1-5-18"));
                if (reply.result() != 0) report += "sync " + std::to_string(i) + ": " + std::to_string(reply.result());
              }
              return report;
            }),
            "");
  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(root->Send(EnvelopeClient::Request(MessageType::Synchronize, "")).result(), 0u);
  root.reset();
  StopHost();
  EXPECT_EQ(CountOf(sandbox_.PluginLogText(), "Server back-off reset on request"), 3u);
}

// Each refused request logs a line; one user's flood of them must not push
// everybody's lines out of the rotating log files.
TEST_F(SharedState, RefusalsOfOneUserAreLoggedAtABoundedRate) {
  EXPECT_EQ(RunAsNobody([] {
              auto client = EnvelopeClient::Connect("velder", false);
              if (client == nullptr) return std::string("cannot connect\n");
              IpcMessage request = EnvelopeClient::Request(MessageType::GetValue, "a");
              request.set_name_space("");
              for (int i = 0; i < 300; ++i) client->Send(request);
              return std::string();
            }),
            "");
  StopHost();
  const std::string log = sandbox_.PluginLogText();
  // Two lines a request, twenty lines a minute.
  EXPECT_EQ(CountOf(log, "Invalid request, missing namesspace"), 10u);
  EXPECT_EQ(CountOf(log, "Request handling failed"), 10u);
}

}  // namespace
}  // namespace integration
