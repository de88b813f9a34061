// Bad input from clients: envelopes that are no envelopes, frames that are no
// frames, and clients that hang up in the middle. Each costs at most the bad
// client's own connection; everybody else goes on being served, and the
// service still stops cleanly afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "envelope_client.h"
#include "raw_connection.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

class MalformedInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.WaitRunning()) << host_.err();
    socket_ = sandbox_.ipc() / kIdentity / "VELDER_SERVICE";
    // A well-behaved client keeps working throughout every test.
    good_ = std::thread([this] {
      auto client = EnvelopeClient::Connect();
      if (client == nullptr) return;
      for (int64_t i = 0; !stop_good_.load(); ++i) {
        const Reply set = client->Set("good.counter", i);
        const Reply get = client->Get("good.counter");
        if (set.status != HV_IPC_OK || set.result() != 0 || get.value() != json(i)) ++good_failures_;
        ++good_rounds_;
      }
    });
  }
  void TearDown() override {
    const int rounds = good_rounds_.load();
    EXPECT_TRUE(WaitFor([&] { return good_rounds_.load() > rounds + 10; })) << "the good client is stuck";
    stop_good_ = true;
    good_.join();
    EXPECT_EQ(good_failures_.load(), 0);
    EXPECT_EQ(host_.Stop(), 0) << host_.err();
  }

  Sandbox sandbox_;
  HostProcess host_{HostProcess::DefaultArguments(sandbox_)};
  fs::path socket_;
  std::thread good_;
  std::atomic<bool> stop_good_{false};
  std::atomic<int> good_rounds_{0};
  std::atomic<int> good_failures_{0};
};

TEST_F(MalformedInputTest, EnvelopesThatAreNoRequestsAreRefused) {
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  const std::string good = EnvelopeBytes(EnvelopeClient::Request(MessageType::GetValue, "good"));
  std::string wrong_version = good;
  wrong_version[0] = 2;
  IpcMessage no_namespace = EnvelopeClient::Request(MessageType::GetValue, "good");
  no_namespace.set_name_space("");
  struct Case {
    const char* name;
    uint32_t kind;
    std::string bytes;
  } not_handled[] = {
      {"empty", HV_IPC_KIND_ENVELOPE, ""},
      {"26 bytes", HV_IPC_KIND_ENVELOPE, good.substr(0, 26)},
      {"version 2", HV_IPC_KIND_ENVELOPE, wrong_version},
      {"one byte short", HV_IPC_KIND_ENVELOPE, good.substr(0, good.size() - 1)},
      {"one byte long", HV_IPC_KIND_ENVELOPE, good + "x"},
      {"no namespace", HV_IPC_KIND_ENVELOPE, EnvelopeBytes(no_namespace)},
      {"unknown message kind", 3, good},
      {"message kind 0xFFFFFFFF", 0xFFFFFFFFu, good},
  };
  for (const Case& c : not_handled) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(client->Raw(c.kind, c.bytes).status, HV_IPC_NOT_HANDLED);
  }
  for (const uint8_t type : {0, 14, 15, 16, 18, 255}) {
    SCOPED_TRACE(int{type});
    IpcMessage request = EnvelopeClient::Request(MessageType::GetValue, "good");
    request.set_message_type(static_cast<MessageType>(type));
    const Reply reply = client->Send(request);
    ASSERT_EQ(reply.status, HV_IPC_OK);
    EXPECT_EQ(reply.result(), 2u);
    EXPECT_EQ(reply.message.message_type(), MessageType::Response);
  }
  // Random bytes as envelopes.
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::string bytes(random() % 64, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    if (!bytes.empty()) bytes[0] = 1;
    const Reply reply = client->Raw(HV_IPC_KIND_ENVELOPE, bytes);
    EXPECT_TRUE(reply.status == HV_IPC_OK || reply.status == HV_IPC_NOT_HANDLED) << reply.status;
  }
  EXPECT_EQ(client->Get("good.counter").status, HV_IPC_OK);
}

TEST_F(MalformedInputTest, BrokenFramesCloseOnlyTheirOwnConnection) {
  const std::string get = EnvelopeBytes(EnvelopeClient::Request(MessageType::GetValue, "good.counter"));
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"longer than the limit", U32(HV_IPC_MAX_FRAME_BODY + 1) + char(HV_IPC_FRAME_REQUEST)},
      {"unknown frame kind", Frame(9, "hello")},
      {"response frame from a client", Frame(HV_IPC_FRAME_RESPONSE, U32(1) + U32(0))},
      {"request body too short", Frame(HV_IPC_FRAME_REQUEST, "abc")},
      {"good request, then garbage", RequestFrame(1, HV_IPC_KIND_ENVELOPE, get) + Frame(0, "")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(socket_);
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.Write(c.bytes));
    EXPECT_TRUE(connection.ClosedByPeer());
  }
}

TEST_F(MalformedInputTest, ClientsThatHangUpMidwayCostNothing) {
  const std::string set = [] {
    IpcMessage request = EnvelopeClient::Request(MessageType::SetValue, "hangup.value");
    IpcValue::SetInteger(&request, 5);
    return EnvelopeBytes(request);
  }();
  const std::string frame = RequestFrame(1, HV_IPC_KIND_ENVELOPE, set);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    {
      // Inside the header.
      RawConnection connection(socket_);
      ASSERT_TRUE(connection.Write(frame.substr(0, 3)));
    }
    {
      // Inside the body: the frame promises more than ever comes.
      RawConnection connection(socket_);
      ASSERT_TRUE(connection.Write(frame.substr(0, frame.size() - 4)));
    }
    {
      // Whole requests, gone before their answers.
      RawConnection connection(socket_);
      std::string many;
      for (uint32_t id = 0; id < 50; ++id) many += RequestFrame(id, HV_IPC_KIND_ENVELOPE, set);
      ASSERT_TRUE(connection.Write(many));
    }
    {
      // A real client that gives up waiting and closes before the answers.
      auto client = EnvelopeClient::Connect();
      ASSERT_NE(client, nullptr);
      for (int i = 0; i < 8; ++i) client->Raw(HV_IPC_KIND_ENVELOPE, set, 1);
    }
  }
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  const Reply reply = client->Get("hangup.value");
  EXPECT_EQ(reply.result(), 0u);
  EXPECT_EQ(reply.value(), json(5));
}

}  // namespace
}  // namespace integration
