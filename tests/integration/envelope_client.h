// A client of the service for the integration tests: the IPC library's
// client side and request envelopes built by hand, so that a test can send
// anything a real client could send, well-formed or not, and see every
// notification its channel receives. For what no well-behaved client sends,
// the raw socket of the IPC library's tests speaks the frame format by hand.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "qor/ipc/hv_qor_ipc.h"
#include "qor/ipc_test_support.h"
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

namespace integration {

using ipc_test::RawSocket;
using ipc_test::U32;

// One answer: the IPC status and, when it is HV_IPC_OK, the response envelope.
struct Reply {
  uint32_t status = HV_IPC_ERROR;
  bool parsed = false;  // the payload was an envelope
  IpcMessage message;

  // A request that got no envelope back has no result: never Success.
  static constexpr uint32_t kNoAnswer = 0xFFFFFFFF;
  uint32_t result() const { return status == HV_IPC_OK && parsed ? message.result() : kNoAnswer; }
  std::optional<nlohmann::json> value() const { return IpcValue::ToJson(message); }
};

inline std::string EnvelopeBytes(IpcMessage message) {
  size_t count = 0;
  const uint8_t* bytes = message.Serialize(&count);
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

inline std::string RequestFrame(uint32_t id, uint32_t message_kind, const std::string& payload) {
  return ipc_test::RawFrame(HV_IPC_FRAME_REQUEST, U32(id) + U32(message_kind) + payload);
}

// The result of the next response that `socket` reads within a second
// (greeting and notifications skipped), or -1 when none comes.
inline int64_t ReadResult(RawSocket& socket) {
  uint8_t kind = 0;
  std::string body;
  while (socket.ReadFrame(&kind, &body, 1000)) {
    IpcMessage message;
    if (kind != HV_IPC_FRAME_RESPONSE || body.size() <= 8) continue;
    const auto* envelope = reinterpret_cast<const uint8_t*>(body.data()) + 8;
    return message.Deserialize(envelope, static_cast<uint32_t>(body.size() - 8)) ? message.result() : -1;
  }
  return -1;
}

class EnvelopeClient {
 public:
  // Connects to the service `identity`; null (with a test failure unless
  // `expect_success` is false) when that does not work.
  static std::unique_ptr<EnvelopeClient> Connect(const std::string& identity = "velder", bool expect_success = true) {
    auto client = std::unique_ptr<EnvelopeClient>(new EnvelopeClient());
    const uint32_t rc =
        HvIPC_ClientConnect(&client->client_, identity.c_str(), "VELDER_SERVICE", 5000, &OnNotification, client.get());
    if (rc == HV_IPC_OK) return client;
    if (expect_success) ADD_FAILURE() << "cannot connect to '" << identity << "': " << rc;
    return nullptr;
  }
  ~EnvelopeClient() {
    if (client_ != nullptr) HvIPC_ClientClose(client_);
  }

  Reply Raw(uint32_t kind, const std::string& bytes) {
    Reply reply;
    uint8_t* response = nullptr;
    uint32_t count = 0;
    reply.status = HvIPC_ClientRequest(client_, kind, reinterpret_cast<const uint8_t*>(bytes.data()),
                                       static_cast<uint32_t>(bytes.size()), 10000, &response, &count);
    if (reply.status == HV_IPC_OK && response != nullptr) reply.parsed = reply.message.Deserialize(response, count);
    HvIPC_ClientFreeBuffer(response);
    return reply;
  }
  Reply Send(IpcMessage request) { return Raw(HV_IPC_KIND_ENVELOPE, EnvelopeBytes(std::move(request))); }

  static IpcMessage Request(MessageType type, const std::string& path, const std::string& user = "") {
    IpcMessage request;
    request.set_message_type(type);
    request.set_name_space("tarn");
    request.set_client("integration-test");
    request.set_user(user);
    request.set_path(path);
    return request;
  }
  Reply Get(const std::string& path, const std::string& user = "") {
    return Send(Request(MessageType::GetValue, path, user));
  }
  Reply Set(const std::string& path, const nlohmann::json& value, const std::string& user = "") {
    IpcMessage request = Request(MessageType::SetValue, path, user);
    EXPECT_TRUE(IpcValue::FromJson(value, &request));
    return Send(std::move(request));
  }
  Reply Delete(const std::string& path, const std::string& user = "") {
    return Send(Request(MessageType::DeleteValue, path, user));
  }
  Reply Subscribe(const std::string& path, const std::string& user = "") {
    return Send(Request(MessageType::Subscribe, path, user));
  }

  // The next notification of `path` (any path when empty), oldest first,
  // skipping those of other paths (a subscriber of the whole hive also hears
  // of the hive's connection status); nullopt when none came within 5 s.
  std::optional<IpcMessage> NextNotification(const std::string& path = "") {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!arrived_.wait_for(lock, std::chrono::seconds(5), [this] { return !notifications_.empty(); })) {
        return std::nullopt;
      }
      IpcMessage next = std::move(notifications_.front());
      notifications_.pop_front();
      if (path.empty() || next.path() == path) return next;
    }
  }
  size_t PendingNotifications() {
    std::lock_guard lock(mutex_);
    return notifications_.size();
  }

 private:
  EnvelopeClient() = default;

  static void OnNotification(uint32_t kind, const uint8_t* bytes, uint32_t count, void* context) {
    auto* self = static_cast<EnvelopeClient*>(context);
    IpcMessage message;
    if (kind == HV_IPC_KIND_DISCONNECTED || !message.Deserialize(bytes, count)) return;
    std::lock_guard lock(self->mutex_);
    self->notifications_.push_back(std::move(message));
    self->arrived_.notify_all();
  }

  HvIpcClient* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<IpcMessage> notifications_;
};

}  // namespace integration
