// The library between real processes: a server killed without stopping, a
// name held by another process, clients of other users, notifications
// crossing process boundaries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <optional>
#include <thread>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;
namespace fs = std::filesystem;

std::string PeerPath() { return (fs::read_symlink("/proc/self/exe").parent_path() / "qor_ipc_test_peer").string(); }

// A running helper process with a pipe to its standard input and one from its
// standard output.
class Peer {
 public:
  // `uid`: switch to this user before running (root only).
  explicit Peer(std::vector<std::string> args, std::optional<uid_t> uid = std::nullopt) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const std::string path = PeerPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls from here on.
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      if (uid && (::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(101);
      ::execv(path.c_str(), argv.data());
      ::_exit(102);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = ::fdopen(out[0], "r");
  }
  ~Peer() {
    CloseStdin();
    if (pid_ > 0) Wait();
    if (stdout_) ::fclose(stdout_);
  }

  // One line of output without its newline; "" at the end.
  std::string ReadLine() {
    char buffer[4096];
    if (!::fgets(buffer, sizeof(buffer), stdout_)) return std::string();
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }
  void CloseStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  void Kill() { ::kill(pid_, SIGKILL); }
  // The exit status (or 128 + signal).
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* stdout_ = nullptr;
};

TEST(IpcProcesses, KilledServersSocketIsTakenOverByTheNextServer) {
  ScopedIpcDir dir;
  Peer server({"serve", kIdentity, kService});
  ASSERT_EQ(server.ReadLine(), "ready");
  {
    TestClient client;
    ASSERT_EQ(client.result(), HV_IPC_OK);
    std::string response;
    ASSERT_EQ(client.Request(1, "ping", &response), HV_IPC_OK);
    EXPECT_EQ(response, "ping");
    server.Kill();
    EXPECT_EQ(server.Wait(), 128 + SIGKILL);
    EXPECT_EQ(client.Request(1, "ping", &response), static_cast<uint32_t>(HV_IPC_DISCONNECTED));
  }
  EXPECT_TRUE(fs::is_socket(dir.SocketPath()));  // left behind
  TestClient orphan;
  EXPECT_EQ(orphan.result(), static_cast<uint32_t>(HV_IPC_NOT_FOUND));

  TestServer successor;
  ASSERT_EQ(successor.result(), HV_IPC_OK);
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  std::string response;
  EXPECT_EQ(client.Request(1, "again", &response), HV_IPC_OK);
  EXPECT_EQ(response, "again");
}

TEST(IpcProcesses, NameHeldByAnotherProcessCannotBeTaken) {
  ScopedIpcDir dir;
  Peer server({"serve", kIdentity, kService});
  ASSERT_EQ(server.ReadLine(), "ready");
  TestServer intruder;
  EXPECT_EQ(intruder.result(), static_cast<uint32_t>(HV_IPC_ALREADY_RUNNING));
  // Neither the socket nor the running server was disturbed.
  Peer asker({"ask", kIdentity, kService, "hello"});
  EXPECT_EQ(asker.ReadLine(), "hello");
  EXPECT_EQ(asker.Wait(), 0);
  // And the other way round: our server holds the name against a peer.
  server.CloseStdin();
  EXPECT_EQ(server.Wait(), 0);
  TestServer ours;
  ASSERT_EQ(ours.result(), HV_IPC_OK);
  Peer second({"serve", kIdentity, kService});
  EXPECT_EQ(second.ReadLine(), "failed " + std::to_string(HV_IPC_ALREADY_RUNNING));
}

TEST(IpcProcesses, OtherUsersAreIdentifiedByTheirUidAndAreNoAdministrators) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  ScopedIpcDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // let the other user reach the socket
  TestServer server([](uint32_t, std::string_view bytes, HvIpcMessage* m) {
    char* sid = HvIPC_MessageGetClientSID(m);
    const std::string answer =
        std::string(bytes) + " admin=" + std::to_string(HvIPC_MessageIsClientAdmin(m)) + " sid=" + sid;
    HvIPC_MessageFreeSID(sid);
    HvIPC_MessageSetResponse(m, reinterpret_cast<const uint8_t*>(answer.data()), static_cast<uint32_t>(answer.size()));
    return 0;
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  for (const uid_t uid : {0u, 65534u, 1234u}) {
    SCOPED_TRACE(uid);
    Peer asker({"ask", kIdentity, kService, "me"}, uid);
    const std::string expected = uid == 0 ? "me admin=1 sid=S-1-5-18"
                                          : "me admin=0 sid=S-1-22-1-" + std::to_string(uid);
    EXPECT_EQ(asker.ReadLine(), expected);
    EXPECT_EQ(asker.Wait(), 0);
  }
}

TEST(IpcProcesses, SocketOfAServerForItsOwnUserIsClosedToOthers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  ScopedIpcDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  TestServer server(TestServer::Echo, HV_IPC_SERVER_DEFAULT_FLAGS & ~HV_IPC_SERVER_ALL_USERS);
  ASSERT_EQ(server.result(), HV_IPC_OK);
  Peer stranger({"ask", kIdentity, kService, "let me in"}, 65534);
  EXPECT_EQ(stranger.ReadLine(), "");
  EXPECT_EQ(stranger.Wait(), HV_IPC_ACCESS_DENIED);
}

TEST(IpcProcesses, NotificationsReachAClientInAnotherProcess) {
  ScopedIpcDir dir;
  TestServer server;
  ASSERT_EQ(server.result(), HV_IPC_OK);
  Peer watcher({"watch", kIdentity, kService});
  const std::string channel = watcher.ReadLine();
  ASSERT_FALSE(channel.empty());
  HvIpcSendOptions options{};
  options.size = sizeof(options);
  options.timeout_ms = 2000;
  options.wait_for_write = 1;
  for (const char* text : {"first", "second", "third"}) {
    ASSERT_EQ(HvIPC_Send(kIdentity, channel.c_str(), 3, 1, reinterpret_cast<const uint8_t*>(text),
                         static_cast<uint32_t>(strlen(text)), nullptr, &options),
              HV_IPC_OK);
  }
  EXPECT_EQ(watcher.ReadLine(), "1:first");
  EXPECT_EQ(watcher.ReadLine(), "1:second");
  EXPECT_EQ(watcher.ReadLine(), "1:third");
  // The server stops: the watcher is told, and its channel is gone.
  EXPECT_EQ(server.Stop(), HV_IPC_OK);
  EXPECT_EQ(watcher.ReadLine(), "disconnected");
  EXPECT_EQ(HvIPC_Send(kIdentity, channel.c_str(), 3, 1, reinterpret_cast<const uint8_t*>("x"), 1, nullptr, &options),
            static_cast<uint32_t>(HV_IPC_NOT_FOUND));
}

TEST(IpcProcesses, ServerSurvivesAClientKilledMidRequest) {
  ScopedIpcDir dir;
  std::atomic<int> calls{0};
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return TestServer::Echo(kind, bytes, m);
  });
  ASSERT_EQ(server.result(), HV_IPC_OK);
  for (int i = 0; i < 3; ++i) {
    Peer asker({"ask", kIdentity, kService, "doomed"});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    asker.Kill();
    asker.Wait();
  }
  TestClient client;
  ASSERT_EQ(client.result(), HV_IPC_OK);
  std::string response;
  EXPECT_EQ(client.Request(1, "alive", &response), HV_IPC_OK);
  EXPECT_EQ(response, "alive");
}

}  // namespace
