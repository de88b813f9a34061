// The frame format on the wire, spoken by hand over a raw socket: exact bytes
// of what the server writes, and what happens to streams that are not frames.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;
using IpcFrames = IpcTest;

// Upper-cases the payload so that an answer is told apart from an echo;
// refuses requests of kind 2.
uint32_t Shout(uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
  if (kind == 2) return 1;
  std::string answer(bytes);
  for (char& c : answer) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Respond(m, answer);
}

TEST_F(IpcFrames, GreetingResponseRefusalAndNotificationBytes) {
  TestServer server(Shout);
  RawSocket raw(dir_.SocketPath());
  ASSERT_TRUE(Up(server) && raw.connected());

  // Greeting: length, kind 4, protocol version 1, the channel name.
  std::string header;
  ASSERT_TRUE(raw.ReadExactly(5, &header));
  const uint32_t length = static_cast<unsigned char>(header[0]) | (static_cast<unsigned char>(header[1]) << 8);
  EXPECT_EQ(header.substr(2, 3), std::string("\0\0\x04", 3));
  std::string body;
  ASSERT_TRUE(raw.ReadExactly(length, &body));
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

TEST_F(IpcFrames, MalformedStreamsCloseOnlyTheirOwnConnection) {
  TestServer server(Shout);
  TestClient bystander;
  ASSERT_TRUE(Up(server, bystander));
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"over the request limit", U32(HV_IPC_MAX_REQUEST_BODY + 1) + "\x01"},
      {"largest length with a bad kind", std::string("\xff\xff\xff\xff\x01", 5)},
      {"unknown kind", RawFrame(9, U32(1) + U32(1))},
      {"kind zero", RawFrame(0, U32(1) + U32(1))},
      {"a response from a client", RawFrame(HV_IPC_FRAME_RESPONSE, U32(1) + U32(0))},
      {"a greeting from a client", RawFrame(HV_IPC_FRAME_HELLO, U32(1))},
      {"request body without its kind", RawFrame(HV_IPC_FRAME_REQUEST, U32(1) + "abc")},
      {"empty request body", RawFrame(HV_IPC_FRAME_REQUEST, "")},
      {"text instead of frames", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
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

TEST_F(IpcFrames, TruncatedFrameAtDisconnectIsDroppedAndTheServerGoesOn) {
  std::atomic<int> calls{0};
  TestServer server([&](uint32_t kind, std::string_view bytes, HvIpcMessage* m) {
    ++calls;
    return Shout(kind, bytes, m);
  });
  ASSERT_TRUE(Up(server));
  const std::string frame = RawFrame(HV_IPC_FRAME_REQUEST, U32(1) + U32(1) + "12345");
  for (const size_t cut : {1, 4, 5, 12, 13, 17}) {
    RawSocket raw(dir_.SocketPath());
    ASSERT_FALSE(raw.ReadHello().empty());
    ASSERT_TRUE(raw.Write(frame.substr(0, cut))) << cut;
  }
  TestClient client;
  EXPECT_EQ(client.Ask("after"), "AFTER");
  EXPECT_EQ(calls.load(), 1);  // no half frame reached the callback
}

TEST_F(IpcFrames, FramesSplitAndJoinedAreAllAnsweredAfterTheClientStopsSending) {
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
