// The library between real processes: a server killed without stopping, a
// name held by another process, clients of other users, notifications
// crossing process boundaries.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "ipc_test_support.h"
#include "support/child_process.h"

namespace {

using namespace ipc_test;
namespace fs = std::filesystem;

// The helper program with `args`; run as `uid` when given (root only).
class Peer : public testing_support::ChildProcess {
 public:
  explicit Peer(std::vector<std::string> args, std::optional<uid_t> uid = std::nullopt)
      : ChildProcess(WithProgram(std::move(args)), uid ? std::vector<std::string>{"PEER_UID=" + std::to_string(*uid)}
                                                      : std::vector<std::string>{}) {}
  // One line of output without its newline; "" at the end.
  std::string ReadLine() {
    std::string line;
    return ChildProcess::ReadLine(&line) ? line : std::string();
  }

 private:
  static std::vector<std::string> WithProgram(std::vector<std::string> args) {
    args.insert(args.begin(), testing_support::BuildProgram("qor_ipc_test_peer"));
    return args;
  }
};

using IpcProcesses = IpcTest;

TEST_F(IpcProcesses, KilledServersSocketIsTakenOverByTheNextServer) {
  Peer server({"serve", kIdentity, kService});
  ASSERT_EQ(server.ReadLine(), "ready");
  {
    TestClient client;
    EXPECT_EQ(client.Ask("ping"), "ping");
    server.Signal(SIGKILL);
    EXPECT_EQ(server.Wait(), 128 + SIGKILL);
    EXPECT_EQ(client.Ask("ping"), "status " + std::to_string(HV_IPC_DISCONNECTED));
  }
  EXPECT_TRUE(fs::is_socket(dir_.SocketPath()));  // left behind
  EXPECT_EQ(TestClient().result(), uint32_t{HV_IPC_NOT_FOUND});
  TestServer successor;
  ASSERT_TRUE(Up(successor));
  EXPECT_EQ(TestClient().Ask("again"), "again");
}

TEST_F(IpcProcesses, NameHeldByAnotherProcessCannotBeTaken) {
  Peer server({"serve", kIdentity, kService});
  ASSERT_EQ(server.ReadLine(), "ready");
  TestServer intruder;
  EXPECT_EQ(intruder.result(), uint32_t{HV_IPC_ALREADY_RUNNING});
  EXPECT_EQ(intruder.handle(), nullptr);
  TestServer other_service(TestServer::Echo, HV_IPC_SERVER_DEFAULT_FLAGS, 0, kIdentity, "OTHER_SERVICE");
  EXPECT_EQ(other_service.result(), HV_IPC_OK) << "another service of the identity is another name";
  // Neither the socket nor the running server was disturbed.
  Peer asker({"ask", kIdentity, kService, "hello"});
  EXPECT_EQ(asker.ReadLine(), "hello");
  EXPECT_EQ(asker.Wait(), 0);
  // And the other way round: our server holds the name against a peer.
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  TestServer ours;
  ASSERT_TRUE(Up(ours));
  Peer second({"serve", kIdentity, kService});
  EXPECT_EQ(second.ReadLine(), "failed " + std::to_string(HV_IPC_ALREADY_RUNNING));
}

TEST_F(IpcProcesses, OtherUsersAreIdentifiedByUidAndKeptOutOfAServerForItsOwnUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);  // let the other user reach the socket
  TestServer server([](uint32_t, std::string_view bytes, HvIpcMessage* m) {
    char* sid = HvIPC_MessageGetClientSID(m);
    Respond(m, std::string(bytes) + " admin=" + std::to_string(HvIPC_MessageIsClientAdmin(m)) + " sid=" + sid);
    HvIPC_MessageFreeSID(sid);
    return 0;
  });
  ASSERT_TRUE(Up(server));
  for (const uid_t uid : {0u, 65534u, 1234u}) {
    SCOPED_TRACE(uid);
    Peer asker({"ask", kIdentity, kService, "me"}, uid);
    const std::string expected = uid == 0 ? "me admin=1 sid=S-1-5-18"
                                          : "me admin=0 sid=S-1-22-1-" + std::to_string(uid);
    EXPECT_EQ(asker.ReadLine(), expected);
    EXPECT_EQ(asker.Wait(), 0);
  }
  TestServer own(TestServer::Echo, HV_IPC_SERVER_DEFAULT_FLAGS & ~HV_IPC_SERVER_ALL_USERS, 0, kIdentity, "OWN");
  ASSERT_TRUE(Up(own));
  Peer stranger({"ask", kIdentity, "OWN", "let me in"}, 65534);
  EXPECT_EQ(stranger.ReadLine(), "");
  EXPECT_EQ(stranger.Wait(), HV_IPC_ACCESS_DENIED);
}

TEST_F(IpcProcesses, NotificationsReachAClientInAnotherProcess) {
  TestServer server;
  ASSERT_TRUE(Up(server));
  Peer watcher({"watch", kIdentity, kService});
  const std::string channel = watcher.ReadLine();
  ASSERT_FALSE(channel.empty());
  const HvIpcSendOptions options = Options(2000);
  for (const char* text : {"first", "second", "third"}) ASSERT_EQ(Send(channel, text, &options), HV_IPC_OK);
  for (const char* line : {"1:first", "1:second", "1:third"}) EXPECT_EQ(watcher.ReadLine(), line);
  // The server stops: the watcher is told, and its channel is gone.
  EXPECT_EQ(server.Stop(), HV_IPC_OK);
  EXPECT_EQ(watcher.ReadLine(), "disconnected");
  EXPECT_EQ(Send(channel, "x", &options), uint32_t{HV_IPC_NOT_FOUND});
}

}  // namespace
