// Starting and stopping servers: argument checks, where the socket goes and
// with which permissions, names already taken, stale sockets and unsafe
// directories.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;
namespace fs = std::filesystem;

uint32_t Refuse(uint32_t, const uint8_t*, uint32_t, HvIpcMessage*, void*) { return 1; }

using testing_support::ModeOf;

// A socket file with nobody listening, as a killed server leaves it.
void MakeStaleSocket(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ::close(fd);
}

using IpcServer = IpcTest;

TEST_F(IpcServer, BadArgumentsAreRefusedAndLeaveNoHandle) {
  HvIpcServer* server = reinterpret_cast<HvIpcServer*>(0x1);
  const std::string long_name(65, 'a');
  const std::pair<const char*, const char*> names[] = {
      {nullptr, kService}, {kIdentity, nullptr}, {"", kService},         {".", kService},
      {"..", kService},    {kIdentity, ".svc"},  {"a/b", kService},      {kIdentity, "A SERVICE"},
      {kIdentity, "S\xc3\xa9"}, {long_name.c_str(), kService},
  };
  for (const auto& [identity, service] : names) {
    SCOPED_TRACE(testing::Message() << (identity ? identity : "(null)") << " / " << (service ? service : "(null)"));
    EXPECT_EQ(HvIPC_RunServer(&server, identity, service, 0xC1, Refuse, nullptr, 0), uint32_t{HV_IPC_INVALID_PARAMETER});
    EXPECT_EQ(server, nullptr);
  }
  EXPECT_EQ(HvIPC_RunServer(&server, kIdentity, kService, 0xC1 | 0x02, Refuse, nullptr, 0),
            uint32_t{HV_IPC_INVALID_PARAMETER});  // unknown flag
  EXPECT_EQ(HvIPC_RunServer(&server, kIdentity, kService, 0xC1, nullptr, nullptr, 0), uint32_t{HV_IPC_INVALID_PARAMETER});
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(HvIPC_RunServer(nullptr, kIdentity, kService, 0xC1, Refuse, nullptr, 0),
            uint32_t{HV_IPC_INVALID_PARAMETER});
  EXPECT_FALSE(fs::exists(dir_.path() / kIdentity / kService));
  // A name of exactly 64 bytes is fine.
  const std::string longest(64, 'b');
  TestServer ok(TestServer::Echo, 0xC1, 0, longest.c_str());
  EXPECT_EQ(ok.result(), HV_IPC_OK);
}

TEST_F(IpcServer, SocketLivesUnderIdentityWithTheModeTheFlagsAsk) {
  for (const uint32_t flags : {0xC1u, 0x81u}) {
    SCOPED_TRACE(testing::Message() << "flags " << flags);
    ScopedIpcDir dir;
    const fs::path base = dir.path() / "missing" / "base";  // created as needed
    testing_support::ScopedEnv env("HV_QOR_IPC_DIR", base.string());
    const mode_t old_umask = ::umask(0077);  // the socket's mode must not depend on it
    TestServer server(TestServer::Echo, flags);
    ::umask(old_umask);
    ASSERT_EQ(server.result(), HV_IPC_OK);
    const std::string socket = (base / kIdentity / kService).string();
    EXPECT_TRUE(fs::is_socket(socket));
    EXPECT_EQ(ModeOf(socket), (flags & HV_IPC_SERVER_ALL_USERS) ? 0666u : 0600u);
    EXPECT_EQ(ModeOf((base / kIdentity).string()) & 022, 0u);
    EXPECT_TRUE(fs::exists(socket + ".lock"));
    EXPECT_EQ(TestClient().result(), HV_IPC_OK);
    EXPECT_EQ(server.Stop(), HV_IPC_OK);
    EXPECT_FALSE(fs::exists(socket));
  }
}

TEST_F(IpcServer, StaleSocketIsReplacedOnlyWhenAskedAndOtherFilesNever) {
  {
    ScopedIpcDir dir;
    MakeStaleSocket(dir.SocketPath());
    TestServer server;  // 0xC1 includes HV_IPC_SERVER_REPLACE_STALE
    ASSERT_TRUE(Up(server));
    EXPECT_EQ(TestClient().Ask("fresh"), "fresh");
  }
  {
    ScopedIpcDir dir;
    MakeStaleSocket(dir.SocketPath());
    TestServer server(TestServer::Echo, 0xC1 & ~HV_IPC_SERVER_REPLACE_STALE);
    EXPECT_EQ(server.result(), uint32_t{HV_IPC_ALREADY_RUNNING});
    EXPECT_TRUE(fs::exists(dir.SocketPath()));
  }
  {
    ScopedIpcDir dir;
    fs::create_directories(dir.path() / kIdentity);
    testing_support::WriteFile(dir.SocketPath(), "not a socket");
    TestServer server;
    EXPECT_EQ(server.result(), uint32_t{HV_IPC_ERROR});
    EXPECT_EQ(testing_support::ReadFile(dir.SocketPath()), "not a socket");
  }
}

TEST_F(IpcServer, IdentityDirectoryMustBeOursAndClosedToOthers) {
  {
    SCOPED_TRACE("group and world writable: tightened");
    ScopedIpcDir dir;
    const std::string identity_dir = (dir.path() / kIdentity).string();
    ASSERT_EQ(::mkdir(identity_dir.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(identity_dir.c_str(), 0777), 0);
    TestServer server;
    EXPECT_EQ(server.result(), HV_IPC_OK);
    EXPECT_EQ(ModeOf(identity_dir), 0755u);
  }
  {
    SCOPED_TRACE("a symbolic link");
    ScopedIpcDir dir;
    fs::create_directories(dir.path() / "elsewhere");
    fs::create_directory_symlink(dir.path() / "elsewhere", dir.path() / kIdentity);
    TestServer server;
    EXPECT_EQ(server.result(), uint32_t{HV_IPC_ACCESS_DENIED});
    EXPECT_FALSE(fs::exists(dir.path() / "elsewhere" / kService));
  }
  {
    SCOPED_TRACE("a file where the directory should be");
    ScopedIpcDir dir;
    testing_support::WriteFile(dir.path() / kIdentity, "x");
    TestServer server;
    EXPECT_NE(server.result(), static_cast<uint32_t>(HV_IPC_OK));
  }
  if (::geteuid() == 0) {
    SCOPED_TRACE("owned by another user");
    ScopedIpcDir dir;
    const std::string identity_dir = (dir.path() / kIdentity).string();
    ASSERT_EQ(::mkdir(identity_dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(identity_dir.c_str(), 65534, 65534), 0);
    TestServer server;
    EXPECT_EQ(server.result(), uint32_t{HV_IPC_ACCESS_DENIED});
  }
  if (::geteuid() == 0) {
    SCOPED_TRACE("root: a base directory that others may write");
    ScopedIpcDir dir;
    const std::string open_dir = (dir.path() / "open").string();
    ASSERT_EQ(::mkdir(open_dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(open_dir.c_str(), 65534, 65534), 0);
    testing_support::ScopedEnv env("HV_QOR_IPC_DIR", (dir.path() / "open" / "ipc").string());
    TestServer server;
    EXPECT_EQ(server.result(), uint32_t{HV_IPC_ACCESS_DENIED});
  }
}

TEST_F(IpcServer, ChannelBelongsToItsOwnIdentityOnly) {
  TestServer one(TestServer::Echo, 0xC1, 0, "identity_one"), two(TestServer::Echo, 0xC1, 0, "identity_two");
  TestClient a("identity_one"), b("identity_two");
  ASSERT_TRUE(Up(one, two, a, b));
  EXPECT_NE(a.channel(), b.channel());
  const HvIpcSendOptions options = Options(1000);
  EXPECT_EQ(Send(a.channel(), "x", &options, "identity_two"), uint32_t{HV_IPC_NOT_FOUND});
  EXPECT_EQ(Send(a.channel(), "x", &options, "identity_one"), HV_IPC_OK);
}

}  // namespace
