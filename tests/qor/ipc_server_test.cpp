// Starting and stopping servers (argument checks, where the socket goes and
// with which permissions, unsafe directories) and the exact bytes of the
// frames they speak.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <thread>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;
namespace fs = std::filesystem;

uint32_t Refuse(uint32_t, const uint8_t*, uint32_t, HvIpcMessage*, void*) { return 1; }

using testing_support::ModeOf;

using IpcServer = IpcTest;

TEST_F(IpcServer, BadArgumentsAreRefusedAndLeaveNoHandle) {
  HvIpcServer* server = reinterpret_cast<HvIpcServer*>(0x1);
  const std::string long_name(65, 'a');
  const std::pair<const char*, const char*> names[] = {
      {nullptr, kService}, {kIdentity, nullptr}, {"", kService}, {"..", kService},
      {kIdentity, ".svc"}, {"a/b", kService},    {kIdentity, "S\xc3\xa9"}, {long_name.c_str(), kService},
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
  TestServer ok(TestServer::Echo, 0, longest.c_str());
  EXPECT_EQ(ok.result(), HV_IPC_OK);
}

// Every local user reaches the service: mode 0666 whatever the umask, in a
// folder only its owner writes to.
TEST_F(IpcServer, SocketLivesUnderIdentityOpenToAllUsers) {
  const fs::path base = dir_.path() / "missing" / "base";  // created as needed
  testing_support::ScopedEnv env("HV_QOR_IPC_DIR", base.string());
  const mode_t old_umask = ::umask(0077);
  TestServer server;
  ::umask(old_umask);
  ASSERT_EQ(server.result(), HV_IPC_OK);
  const std::string socket = (base / kIdentity / kService).string();
  EXPECT_EQ(ModeOf(socket), 0666u);
  EXPECT_EQ(ModeOf((base / kIdentity).string()) & 022, 0u);
  EXPECT_TRUE(fs::exists(socket + ".lock"));
  EXPECT_EQ(TestClient().result(), HV_IPC_OK);  // its removal at a stop: IpcExchange.StopWaits...
}

// That it starts over the stale socket of a killed server is CrashRoundsTest's.
TEST_F(IpcServer, StartsOnlyInAnIdentityFolderOfItsOwn) {
  using Step = std::function<void(const fs::path& base)>;  // base: the IPC folder
  const struct {
    const char* name;
    Step prepare;
    uint32_t result;
    Step check;
  } cases[] = {
      {"a file where the socket goes",
       [](const fs::path& b) {
         fs::create_directories(b / kIdentity);
         testing_support::WriteFile(b / kIdentity / kService, "not a socket");
       },
       HV_IPC_ERROR,
       [](const fs::path& b) { EXPECT_EQ(testing_support::ReadFile(b / kIdentity / kService), "not a socket"); }},
      {"group and world writable: tightened",
       [](const fs::path& b) {
         ASSERT_EQ(::mkdir((b / kIdentity).c_str(), 0777), 0);
         ASSERT_EQ(::chmod((b / kIdentity).c_str(), 0777), 0);
       },
       HV_IPC_OK, [](const fs::path& b) { EXPECT_EQ(ModeOf(b / kIdentity), 0755u); }},
      {"a symbolic link",
       [](const fs::path& b) {
         fs::create_directories(b / "elsewhere");
         fs::create_directory_symlink(b / "elsewhere", b / kIdentity);
       },
       HV_IPC_ACCESS_DENIED, [](const fs::path& b) { EXPECT_FALSE(fs::exists(b / "elsewhere" / kService)); }},
      {"a file where the directory should be", [](const fs::path& b) { testing_support::WriteFile(b / kIdentity, "x"); },
       HV_IPC_ERROR, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedIpcDir dir;
    c.prepare(dir.path());
    TestServer server;
    EXPECT_EQ(server.result(), c.result);
    if (c.check) c.check(dir.path());
  }
  if (::geteuid() != 0) return;
  // Folders of another user: the identity's own, or a base that others may write.
  for (const char* folder : {kIdentity, "open"}) {
    SCOPED_TRACE(folder);
    ScopedIpcDir dir;
    const std::string path = (dir.path() / folder).string();
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    testing_support::ScopedEnv env("HV_QOR_IPC_DIR", folder == kIdentity ? dir.path().string() : path + "/ipc");
    TestServer server;
    EXPECT_EQ(server.result(), uint32_t{HV_IPC_ACCESS_DENIED});
  }
}

// The frame format on the wire, spoken by hand over a raw socket.

// Upper-cases the payload so that an answer is told apart from an echo;
// refuses requests of kind 2.
uint32_t Shout(uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
  if (kind == 2) return 1;
  std::string answer(bytes);
  for (char& c : answer) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Respond(m, answer);
}

TEST_F(IpcServer, GreetingResponseRefusalAndNotificationBytes) {
  TestServer server(Shout);
  RawSocket raw(dir_.SocketPath());
  ASSERT_TRUE(Up(server) && raw.connected());

  // Greeting: length (little-endian, as ReadFrame reads it), kind 4, protocol version 1, the channel name.
  uint8_t kind = 0;
  std::string body;
  ASSERT_TRUE(raw.ReadFrame(&kind, &body));
  EXPECT_EQ(kind, 4);
  EXPECT_EQ(body.substr(0, 4), std::string("\x01\0\0\0", 4));
  const std::string channel = body.substr(4);
  EXPECT_EQ(channel.rfind(std::to_string(::getpid()) + ".", 0), 0u) << channel;

  // Request id 0x2a, kind 1, payload "hello".
  ASSERT_TRUE(raw.Write(std::string("\x0d\0\0\0\x01" "\x2a\0\0\0" "\x01\0\0\0" "hello", 18)));
  std::string response;
  ASSERT_TRUE(raw.ReadExactly(18, &response));
  EXPECT_EQ(response, std::string("\x0d\0\0\0\x02" "\x2a\0\0\0" "\0\0\0\0" "HELLO", 18));

  // Refused: status 5 (not handled) and no payload.
  ASSERT_TRUE(raw.Write(std::string("\x08\0\0\0\x01" "\x07\0\0\0" "\x02\0\0\0", 13)));
  ASSERT_TRUE(raw.ReadExactly(13, &response));
  EXPECT_EQ(response, std::string("\x08\0\0\0\x02" "\x07\0\0\0" "\x05\0\0\0", 13));

  // Notification of kind 1 with payload "n!".
  const HvIpcSendOptions options = Options(2000);
  ASSERT_EQ(Send(channel, "n!", &options), HV_IPC_OK);
  std::string note;
  ASSERT_TRUE(raw.ReadExactly(11, &note));
  EXPECT_EQ(note, std::string("\x06\0\0\0\x03" "\x01\0\0\0" "n!", 11));
}

TEST_F(IpcServer, MalformedStreamsCloseOnlyTheirOwnConnection) {
  TestServer server(Shout);
  TestClient bystander;
  ASSERT_TRUE(Up(server, bystander));
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"over the request limit", U32(HV_IPC_MAX_REQUEST_BODY + 1) + "\x01"},
      {"a response from a client", RawFrame(HV_IPC_FRAME_RESPONSE, U32(1) + U32(0))},
      {"request body without its kind", RawFrame(HV_IPC_FRAME_REQUEST, U32(1) + "abc")},
      {"good frame, then garbage", RawFrame(HV_IPC_FRAME_REQUEST, U32(1) + U32(1) + "ok") + std::string(9, '\x7f')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawSocket raw(dir_.SocketPath());
    ASSERT_FALSE(raw.ReadHello().empty());
    raw.Write(c.bytes);
    EXPECT_TRUE(raw.WaitClosed());
    EXPECT_EQ(bystander.Ask("still there"), "STILL THERE");
  }
}

TEST_F(IpcServer, FramesSplitAndJoinedAreAllAnsweredAfterTheClientStopsSending) {
  TestServer server([](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    if (bytes == "r20") std::this_thread::sleep_for(50ms);  // still running at the shutdown
    return Shout(kind, bytes, m);
  });
  ASSERT_TRUE(Up(server));
  RawSocket raw(dir_.SocketPath());
  ASSERT_FALSE(raw.ReadHello().empty());
  std::string stream;
  for (uint32_t id = 1; id <= 20; ++id) {
    stream += RawFrame(HV_IPC_FRAME_REQUEST, U32(id) + U32(1) + "r" + std::to_string(id));
  }
  // Three frames in one write, then the rest one byte at a time.
  const size_t three = 3 * 11;
  ASSERT_TRUE(raw.Write(stream.substr(0, three)));
  for (size_t i = three; i < stream.size(); ++i) ASSERT_TRUE(raw.Write(stream.substr(i, 1)));
  ASSERT_EQ(::shutdown(raw.fd(), SHUT_WR), 0);
  std::map<uint32_t, std::string> answers;
  for (int i = 0; i < 20; ++i) {
    uint8_t kind = 0;
    std::string body;
    ASSERT_TRUE(raw.ReadFrame(&kind, &body));
    ASSERT_EQ(kind, HV_IPC_FRAME_RESPONSE);
    ASSERT_GE(body.size(), 8u);
    EXPECT_EQ(body.substr(4, 4), U32(HV_IPC_OK));
    answers[static_cast<unsigned char>(body[0])] = body.substr(8);
  }
  ASSERT_EQ(answers.size(), 20u);
  for (uint32_t id = 1; id <= 20; ++id) EXPECT_EQ(answers[id], "R" + std::to_string(id));
  EXPECT_TRUE(raw.WaitClosed()) << "everything answered: the server closes its side";
}

}  // namespace
