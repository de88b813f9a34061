// Bad input from clients: envelopes that are no envelopes and clients that
// hang up in the middle (frames that are no frames are the IPC library's
// own tests). Each costs at most the bad client's own connection; everybody
// else goes on being served, and the service still stops cleanly afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "envelope_client.h"
#include "service_sandbox.h"

namespace integration {
namespace {

using nlohmann::json;

class MalformedInput : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    // A well-behaved client keeps working throughout every test.
    good_ = std::thread([this] {
      auto client = EnvelopeClient::Connect();
      for (int64_t i = 0; client && !stop_good_; ++i) {
        const Reply set = client->Set("good.counter", i);
        if (set.status != HV_IPC_OK || set.result() != 0 || client->Get("good.counter").value() != json(i)) {
          ++good_failures_;
        }
        ++good_rounds_;
      }
    });
  }
  void TearDown() override {
    const int rounds = good_rounds_;
    EXPECT_TRUE(WaitFor([&] { return good_rounds_ > rounds + 10; })) << "the good client is stuck";
    stop_good_ = true;
    good_.join();
    EXPECT_EQ(good_failures_, 0);
    ServiceTest::TearDown();
  }

  std::thread good_;
  std::atomic<bool> stop_good_{false};
  std::atomic<int> good_rounds_{0}, good_failures_{0};
};

// Which envelopes are refused is the envelope's and the manager's unit test;
// here that a refusal reaches the client as one, whatever the bytes.
TEST_F(MalformedInput, EnvelopesThatAreNoRequestsAreRefused) {
  auto client = EnvelopeClient::Connect();
  ASSERT_NE(client, nullptr);
  const std::string good = EnvelopeBytes(EnvelopeClient::Request(MessageType::GetValue, "good"));
  IpcMessage no_namespace = EnvelopeClient::Request(MessageType::GetValue, "good");
  no_namespace.set_name_space("");
  for (const std::string& bytes : {std::string(), good + "x", EnvelopeBytes(no_namespace)}) {
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
}

TEST_F(MalformedInput, ClientsThatHangUpMidwayCostNothing) {
  IpcMessage request = EnvelopeClient::Request(MessageType::SetValue, "hangup.value");
  IpcValue::SetInteger(&request, 5);
  const std::string set = EnvelopeBytes(request);
  const std::string frame = RequestFrame(1, HV_IPC_KIND_ENVELOPE, set);
  std::string many;  // whole requests, gone before their answers
  for (uint32_t id = 0; id < 50; ++id) many += RequestFrame(id, HV_IPC_KIND_ENVELOPE, set);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    // Inside the header; inside the body (the frame promises more than ever comes).
    for (const std::string& bytes : {frame.substr(0, 3), frame.substr(0, frame.size() - 4), many}) {
      ASSERT_TRUE(RawSocket(sandbox_.socket()).Write(bytes));
    }
    // A real client that gives up waiting and closes before the answers.
    auto client = EnvelopeClient::Connect();
    ASSERT_NE(client, nullptr);
    for (int i = 0; i < 8; ++i) client->Raw(HV_IPC_KIND_ENVELOPE, set, 1);
  }
  const Reply reply = EnvelopeClient::Connect()->Get("hangup.value");
  EXPECT_EQ(reply.result(), 0u);
  EXPECT_EQ(reply.value(), json(5));
}

}  // namespace
}  // namespace integration
