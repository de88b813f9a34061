// What one local user can cost the others: clients that subscribe and stop
// reading, hold many connections, send frames half-way or not at all, write
// huge values or subscribe without end. Each runs as an unprivileged user
// against the real service, and each limit is answered without harm to root.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <memory>
#include <vector>

#include "envelope_client.h"
#include "platform/resource_limits.h"
#include "raw_connection.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

constexpr uid_t kNobody = 65534;
const std::string kNobodySid = "S-1-22-1-65534";

// A process running as nobody that reports at checkpoints and waits there
// for the test to go on; killed with the object. Made before the test starts
// any thread of its own (fork).
class UserProcess {
 public:
  template <typename Body>
  explicit UserProcess(Body body) {
    int up[2], down[2];
    if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(up[0]);
      ::close(down[1]);
      report_fd_ = up[1];
      continue_fd_ = down[0];
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        Checkpoint("cannot become nobody");
      } else {
        body(*this);
        Checkpoint("");
      }
      for (;;) ::pause();
    }
    ::close(up[1]);
    ::close(down[0]);
    report_fd_ = up[0];
    continue_fd_ = down[1];
  }
  ~UserProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(report_fd_);
    ::close(continue_fd_);
  }

  pid_t pid() const { return pid_; }

  // In the child: reports `failures` (empty when all went well) and waits
  // until the test calls Continue.
  void Checkpoint(const std::string& failures) {
    const std::string bytes = failures + '\0';
    [[maybe_unused]] ssize_t w = ::write(report_fd_, bytes.data(), bytes.size());
    char go;
    [[maybe_unused]] ssize_t r = ::read(continue_fd_, &go, 1);
  }
  // In the test: the next report of the child.
  std::string NextReport() {
    std::string report;
    char c;
    while (::read(report_fd_, &c, 1) == 1 && c != '\0') report += c;
    return report;
  }
  void Continue() { [[maybe_unused]] ssize_t w = ::write(continue_fd_, "g", 1); }

 private:
  pid_t pid_ = -1;
  int report_fd_ = -1;
  int continue_fd_ = -1;
};

// The result of the first response among `bytes` (frames as they arrived),
// or -1 when there is none.
int64_t FirstResult(const std::string& bytes) {
  for (size_t at = 0; at + 5 <= bytes.size();) {
    const uint32_t length = static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
                            static_cast<uint8_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    if (bytes[at + 4] == HV_IPC_FRAME_RESPONSE && at + 5 + length <= bytes.size() && length >= 8 + 7) {
      IpcMessage message;
      const auto* envelope = reinterpret_cast<const uint8_t*>(bytes.data() + at + 5 + 8);
      if (message.Deserialize(envelope, length - 8)) return message.result();
    }
    at += 5 + length;
  }
  return -1;
}

std::string SubscribeFrame(const std::string& path, const std::string& user) {
  return RequestFrame(1, HV_IPC_KIND_ENVELOPE,
                      EnvelopeBytes(EnvelopeClient::Request(MessageType::Subscribe, path, user)));
}

TEST(HostileClients, SubscribersThatStopReadingDelayNobodyAndLoseTheirConnection) {
  Sandbox sandbox;
  // The storm's request lines would rotate the notices out of the log.
  sandbox.SetDword("SOFTWARE\\Halvern\\QOR\\Logging", "LogLevel", 4);
  HostProcess host(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  const fs::path socket = sandbox.ipc() / kIdentity / "VELDER_SERVICE";

  // Three connections that listen to the whole system hive and never read.
  UserProcess stuck([&](UserProcess& self) {
    std::string report;
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int i = 0; i < 3; ++i) {
      connections.push_back(std::make_unique<RawConnection>(socket));
      connections.back()->Write(SubscribeFrame("", "S-1-5-18"));
      if (FirstResult(connections.back()->Read(4096, 1000)) != 0) report += "subscribe failed\n";
    }
    self.Checkpoint(report);  // held open, and unread, until killed
  });
  ASSERT_EQ(stuck.NextReport(), "");
  auto watcher = EnvelopeClient::Connect();
  auto writer = EnvelopeClient::Connect();
  ASSERT_NE(watcher, nullptr);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(watcher->Subscribe("mark").result(), 0u);

  // Far more than the stuck clients' sockets and queues take.
  const std::string chunk(16 * 1024, 'x');
  for (int i = 0; i < 600; ++i) ASSERT_EQ(writer->Set("storm.value", chunk + std::to_string(i)).result(), 0u);
  ASSERT_EQ(writer->Set("mark", 1).result(), 0u);
  EXPECT_TRUE(watcher->NextNotificationOf("mark", std::chrono::seconds(1)).has_value())
      << "the watcher was not notified within 1 s";

  const std::string closed = fmt::format("pid {}, uid {}", stuck.pid(), kNobody);
  EXPECT_TRUE(WaitFor([&] {
    const std::string log = sandbox.PluginLogText();
    return log.find(closed) != std::string::npos && log.find("notifications not read") != std::string::npos;
  })) << closed;
}

TEST(HostileClients, ConnectionsArePerUidCappedTimedOutAndRootKeepsRoom) {
  Sandbox sandbox;
  HostProcess host(HostProcess::DefaultArguments(sandbox),
                   {"HV_QOR_IPC_FRAME_TIMEOUT_MS=1000", "HV_QOR_IPC_IDLE_TIMEOUT_MS=2000"});
  ASSERT_TRUE(host.WaitRunning()) << host.err();
  const fs::path socket = sandbox.ipc() / kIdentity / "VELDER_SERVICE";

  UserProcess user([&](UserProcess& self) {
    std::string report;
    std::vector<std::unique_ptr<RawConnection>> held;
    for (size_t i = 0; i < resource_limits::kMaxConnectionsPerUid; ++i) {
      held.push_back(std::make_unique<RawConnection>(socket));
      if (held.back()->Read(5, 2000).size() != 5) report += fmt::format("connection {} got no greeting\n", i);
    }
    RawConnection refused(socket);
    if (!refused.Read(5, 2000).empty() || !refused.ClosedByPeer(2000)) report += "one connection too many served\n";
    self.Checkpoint(report);

    // Idle connections go; a listening one stays; a frame sent half-way goes.
    report.clear();
    for (auto& connection : held) {
      if (!connection->ClosedByPeer(6000)) report += "an idle connection stayed\n";
    }
    RawConnection listener(socket);
    listener.Write(SubscribeFrame("app", ""));
    if (FirstResult(listener.Read(4096, 1000)) != 0) report += "subscribe failed\n";
    RawConnection slow(socket);
    slow.Write(RequestFrame(1, HV_IPC_KIND_ENVELOPE, std::string(100, 'x')).substr(0, 50));
    if (!slow.ClosedByPeer(5000)) report += "a half-sent frame was kept\n";
    if (listener.ClosedByPeer(2500)) report += "the listener was closed\n";
    self.Checkpoint(report);
  });
  EXPECT_EQ(user.NextReport(), "");
  {
    // The user's connections leave root its room.
    auto root = EnvelopeClient::Connect();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Set("app.ok", true).result(), 0u);
  }
  user.Continue();
  EXPECT_EQ(user.NextReport(), "");
  const std::string log = sandbox.PluginLogText();
  for (const char* line : {"Refused a connection of pid", "idle for 2000 ms", "not completed within 1000 ms"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST(HostileClients, ValuesHivesAndSubscriptionsHaveSizeLimitsThatSurviveARestart) {
  Sandbox sandbox;
  auto host = std::make_unique<HostProcess>(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host->WaitRunning()) << host->err();

  const std::string largest(resource_limits::kMaxValueBytes, 'v');
  const std::string failures = RunAsUser(kNobody, kNobody, [&] {
    auto client = EnvelopeClient::Connect("velder", false);
    if (client == nullptr) return std::string("cannot connect\n");
    std::string report;
    if (client->Set("big", largest + "v").result() != 13) report += "a value over the limit was taken\n";
    if (client->Set("ok", largest).result() != 0) report += "the largest value was refused\n";
    int accepted = 0;
    uint32_t result = 0;
    for (int i = 0; i < 40 && result == 0; ++i) {
      result = client->Set("fill.k" + std::to_string(i), largest).result();
      if (result == 0) ++accepted;
    }
    if (result != 13 || accepted < 4) report += fmt::format("hive filled with {} values, then {}\n", accepted, result);
    for (size_t i = 0; i < resource_limits::kMaxSubscriptionsPerChannel; ++i) {
      if (client->Subscribe("s." + std::to_string(i)).result() != 0) return report + "a subscription was refused\n";
    }
    if (client->Subscribe("s.0").result() != 0) report += "a repeated subscription was refused\n";
    if (client->Subscribe("s.x").result() != 13) report += "a subscription over the limit was taken\n";
    return report;
  });
  EXPECT_EQ(failures, "");
  EXPECT_NE(sandbox.PluginLogText().find("uid 65534 refused: over a size limit"), std::string::npos);

  // Everything accepted was saved in a file the service loads again.
  ASSERT_EQ(host->Stop(), 0);
  EXPECT_LT(fs::file_size(sandbox.HiveFile(kNobodySid)), resource_limits::kMaxHiveFileBytes);
  host = std::make_unique<HostProcess>(HostProcess::DefaultArguments(sandbox));
  ASSERT_TRUE(host->WaitRunning()) << host->err();
  auto root = EnvelopeClient::Connect();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Get("ok", kNobodySid).value(), json(largest));
  EXPECT_EQ(root->Get("fill.k0", kNobodySid).value(), json(largest));
}

}  // namespace
}  // namespace integration
