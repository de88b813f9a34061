// What one local user can cost the others: clients that subscribe and stop
// reading, hold many connections, send frames half-way or not at all, write
// huge values or subscribe without end, send envelopes that are no envelopes
// (frames that are no frames, and hang-ups in the middle, are the IPC
// library's own tests). Each costs at most the bad client's own connection;
// everybody else goes on being served.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "envelope_client.h"
#include "platform/resource_limits.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

std::string SubscribeFrame(const std::string& path, const std::string& user) {
  return RequestFrame(1, HV_IPC_KIND_ENVELOPE,
                      EnvelopeBytes(EnvelopeClient::Request(MessageType::Subscribe, path, user)));
}

using HostileClients = HostStartedByTest;

TEST_F(HostileClients, SubscribersThatStopReadingDelayNobodyAndLoseTheirConnection) {
  // The storm's request lines would rotate the notices out of the log.
  sandbox_.SetDword("SOFTWARE\\Halvern\\QOR\\Logging", "LogLevel", 4);
  StartHost();
  // Three connections that listen to the whole system hive and never read.
  UserProcess stuck([&](UserProcess& self) {
    std::string report;
    std::vector<std::unique_ptr<RawSocket>> connections;
    for (int i = 0; i < 3; ++i) {
      connections.push_back(std::make_unique<RawSocket>(sandbox_.socket()));
      connections.back()->Write(SubscribeFrame("", "S-1-5-18"));
      if (ReadResult(*connections.back()) != 0) report += "subscribe failed\n";
    }
    self.Checkpoint(report);  // held open, and unread, until killed
  });
  ASSERT_EQ(stuck.NextReport(), "");
  auto watcher = EnvelopeClient::Connect(), writer = EnvelopeClient::Connect();
  ASSERT_TRUE(watcher && writer);
  ASSERT_EQ(watcher->Subscribe("mark").result(), 0u);

  // Far more than the stuck clients' sockets and queues take.
  const std::string chunk(16 * 1024, 'x');
  for (int i = 0; i < 600; ++i) ASSERT_EQ(writer->Set("storm.value", chunk + std::to_string(i)).result(), 0u);
  ASSERT_EQ(writer->Set("mark", 1).result(), 0u);
  EXPECT_TRUE(watcher->NextNotification("mark").has_value()) << "the watcher was not notified";
  const std::string closed = fmt::format("pid {}, uid {}", stuck.pid(), kNobody);
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = sandbox_.PluginLogText();
    return log.find(closed) != std::string::npos && log.find("notifications not read") != std::string::npos;
  })) << closed;
}

TEST_F(HostileClients, ConnectionsArePerUidCappedTimedOutAndRootKeepsRoom) {
  StartHost({}, {"HV_QOR_IPC_FRAME_TIMEOUT_MS=1000", "HV_QOR_IPC_IDLE_TIMEOUT_MS=2000"});
  UserProcess user([&](UserProcess& self) {
    std::string report;
    std::vector<std::unique_ptr<RawSocket>> held;
    for (size_t i = 0; i < resource_limits::kMaxConnectionsPerUid; ++i) {
      held.push_back(std::make_unique<RawSocket>(sandbox_.socket()));
      if (held.back()->ReadHello().empty()) report += fmt::format("connection {} got no greeting\n", i);
    }
    RawSocket refused(sandbox_.socket());
    if (!refused.ReadHello().empty() || !refused.WaitClosed(2000)) report += "one connection too many served\n";
    self.Checkpoint(report);

    // Idle connections go; a listening one stays; a frame sent half-way goes.
    report.clear();
    for (auto& connection : held) {
      if (!connection->WaitClosed(6000)) report += "an idle connection stayed\n";
    }
    RawSocket listener(sandbox_.socket()), slow(sandbox_.socket());
    listener.Write(SubscribeFrame("app", ""));
    if (ReadResult(listener) != 0) report += "subscribe failed\n";
    slow.Write(RequestFrame(1, HV_IPC_KIND_ENVELOPE, std::string(100, 'x')).substr(0, 50));
    if (!slow.WaitClosed(5000)) report += "a half-sent frame was kept\n";
    if (listener.WaitClosed(2500)) report += "the listener was closed\n";
    self.Checkpoint(report);
  });
  EXPECT_EQ(user.NextReport(), "");
  // The user's connections leave root its room.
  EXPECT_EQ(EnvelopeClient::Connect()->Set("app.ok", true).result(), 0u);
  user.Continue();
  EXPECT_EQ(user.NextReport(), "");
}

// Half-sent frames count against their uid's share of buffered bytes only
// while their connections last: a user who hung up is served again.
TEST_F(HostileClients, HalfSentFramesHoldTheUidsShareOnlyWhileConnected) {
  StartHost();
  EXPECT_EQ(RunAsNobody([&] {
              const std::string part =
                  RequestFrame(1, HV_IPC_KIND_ENVELOPE, std::string(HV_IPC_MAX_REQUEST_BODY - 8, 'x')).substr(0, 1 << 20);
              std::string report;
              std::vector<std::unique_ptr<RawSocket>> held;
              size_t refused = 0;
              for (int i = 0; i < 40; ++i) {  // 40 MiB against a share of 32
                held.push_back(std::make_unique<RawSocket>(sandbox_.socket()));
                if (!held.back()->Write(part)) ++refused;
              }
              if (refused == 0) report += "40 MiB of half-sent frames held for one uid\n";
              held.clear();
              const std::string largest(resource_limits::kMaxValueBytes, 'v');
              const bool served = WaitFor([&] {
                auto client = EnvelopeClient::Connect("velder", false);
                return client != nullptr && client->Set("after", largest).result() == 0;
              });
              if (!served) report += "the uid's share was not given back when its connections closed\n";
              return report;
            }),
            "");
}

TEST_F(HostileClients, ValuesHivesAndSubscriptionsHaveSizeLimitsThatSurviveARestart) {
  StartHost();
  const std::string largest(resource_limits::kMaxValueBytes, 'v');
  EXPECT_EQ(RunAsNobody([&] {
              auto client = EnvelopeClient::Connect("velder", false);
              if (client == nullptr) return std::string("cannot connect\n");
              std::string report;
              if (client->Set("big", largest + "v").result() != 13) report += "a value over the limit was taken\n";
              if (client->Set("ok", largest).result() != 0) report += "the largest value was refused\n";
              int accepted = 0;
              uint32_t result = 0;
              for (int i = 0; i < 40 && result == 0; ++i) {
                result = client->Set("fill.k" + std::to_string(i), largest).result();
                accepted += result == 0;
              }
              if (result != 13 || accepted < 4) report += fmt::format("filled with {} values, then {}\n", accepted, result);
              for (size_t i = 0; i < resource_limits::kMaxSubscriptionsPerChannel; ++i) {
                if (client->Subscribe("s." + std::to_string(i)).result() != 0) return report + "subscription refused\n";
              }
              if (client->Subscribe("s.0").result() != 0) report += "a repeated subscription was refused\n";
              if (client->Subscribe("s.x").result() != 13) report += "a subscription over the limit was taken\n";
              return report;
            }),
            "");
  // Everything accepted was saved in a file the service loads again.
  StopHost();
  EXPECT_LT(fs::file_size(sandbox_.HiveFile(kNobodySid)), resource_limits::kMaxHiveFileBytes);
  StartHost();
  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Get("ok", kNobodySid).value(), json(largest));
  EXPECT_EQ(root->Get("fill.k0", kNobodySid).value(), json(largest));
}

using MalformedInput = ServiceTest;

// Which envelopes are refused is the envelope's and the manager's unit test;
// here that a refusal reaches the client as one, whatever the bytes, while a
// well-behaved client keeps working.
TEST_F(MalformedInput, EnvelopesThatAreNoRequestsAreRefused) {
  std::atomic<int> good_rounds{0}, good_failures{0};
  std::jthread good([&](std::stop_token stop) {
    auto client = EnvelopeClient::Connect();
    for (int64_t i = 0; client && !stop.stop_requested(); ++i, ++good_rounds) {
      const Reply set = client->Set("good.counter", i);
      if (set.status != HV_IPC_OK || set.result() != 0 || client->Get("good.counter").value() != json(i)) {
        ++good_failures;
      }
    }
  });
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  const std::string good_get = EnvelopeBytes(EnvelopeClient::Request(MessageType::GetValue, "good"));
  for (const std::string& bytes : {std::string(), good_get + "x"}) {
    EXPECT_EQ(client->Raw(HV_IPC_KIND_ENVELOPE, bytes).status, HV_IPC_NOT_HANDLED) << bytes.size();
  }
  IpcMessage request = EnvelopeClient::Request(MessageType::GetValue, "good");
  request.set_message_type(MessageType::Notification);  // not a request
  const Reply reply = client->Send(request);
  ASSERT_EQ(reply.status, HV_IPC_OK);
  EXPECT_EQ(reply.result(), 2u);
  EXPECT_EQ(reply.message.message_type(), MessageType::Response);
  std::mt19937 random(7);  // random bytes as envelopes
  for (int i = 0; i < 200; ++i) {
    std::string bytes(random() % 64, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    if (!bytes.empty()) bytes[0] = 1;
    const Reply reply = client->Raw(HV_IPC_KIND_ENVELOPE, bytes);
    EXPECT_TRUE(reply.status == HV_IPC_OK || reply.status == HV_IPC_NOT_HANDLED) << reply.status;
  }
  const int rounds = good_rounds;
  EXPECT_TRUE(WaitFor([&] { return good_rounds > rounds + 10; })) << "the good client is stuck";
  good.request_stop();
  good.join();
  EXPECT_EQ(good_failures, 0);
}

}  // namespace
}  // namespace integration
