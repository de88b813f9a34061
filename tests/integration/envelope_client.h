// A client of the service for the integration tests: the IPC library's
// client side and request envelopes built by hand, so that a test can send
// anything a real client could send, well-formed or not, and see every
// notification its channel receives.
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
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

namespace integration {

// One answer: the IPC status and, when it is HV_IPC_OK, the response envelope.
struct Reply {
  uint32_t status = HV_IPC_ERROR;
  bool parsed = false;  // the payload was an envelope
  IpcMessage message;

  uint32_t result() const { return message.result(); }
  std::optional<nlohmann::json> value() const { return IpcValue::ToJson(message); }
};

class EnvelopeClient {
 public:
  // Connects to the service `identity`; null (with a test failure unless
  // `expect_success` is false) when that does not work.
  static std::unique_ptr<EnvelopeClient> Connect(const std::string& identity = "velder", bool expect_success = true) {
    auto client = std::unique_ptr<EnvelopeClient>(new EnvelopeClient());
    const uint32_t rc =
        HvIPC_ClientConnect(&client->client_, identity.c_str(), "VELDER_SERVICE", 5000, &OnNotification, client.get());
    if (rc != HV_IPC_OK) {
      if (expect_success) ADD_FAILURE() << "cannot connect to '" << identity << "': " << rc;
      return nullptr;
    }
    return client;
  }
  ~EnvelopeClient() {
    if (client_ != nullptr) HvIPC_ClientClose(client_);
  }
  EnvelopeClient(const EnvelopeClient&) = delete;
  EnvelopeClient& operator=(const EnvelopeClient&) = delete;

  std::string channel() const { return HvIPC_ClientGetChannel(client_); }

  // Sends raw payload bytes of message kind `kind`.
  Reply Raw(uint32_t kind, const std::string& bytes, uint32_t timeout_ms = 10000) {
    Reply reply;
    uint8_t* response = nullptr;
    uint32_t count = 0;
    reply.status = HvIPC_ClientRequest(client_, kind, reinterpret_cast<const uint8_t*>(bytes.data()),
                                       static_cast<uint32_t>(bytes.size()), timeout_ms, &response, &count);
    if (reply.status == HV_IPC_OK && response != nullptr) reply.parsed = reply.message.Deserialize(response, count);
    HvIPC_ClientFreeBuffer(response);
    return reply;
  }

  // Sends `request` as an envelope.
  Reply Send(IpcMessage request) {
    size_t count = 0;
    const uint8_t* bytes = request.Serialize(&count);
    return Raw(HV_IPC_KIND_ENVELOPE, std::string(reinterpret_cast<const char*>(bytes), count));
  }

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

  // The next notification envelope of this channel, oldest first; nullopt
  // when none came within `timeout`.
  std::optional<IpcMessage> NextNotification(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [this] { return !notifications_.empty(); })) return std::nullopt;
    IpcMessage next = std::move(notifications_.front());
    notifications_.pop_front();
    return next;
  }
  // The next notification of `path`, skipping those of other paths (a
  // subscriber of the whole hive also hears of the hive's connection status).
  std::optional<IpcMessage> NextNotificationOf(const std::string& path,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    for (;;) {
      std::optional<IpcMessage> next = NextNotification(timeout);
      if (!next || next->path() == path) return next;
    }
  }
  size_t PendingNotifications() {
    std::lock_guard lock(mutex_);
    return notifications_.size();
  }
  bool disconnected() {
    std::lock_guard lock(mutex_);
    return disconnected_;
  }

 private:
  EnvelopeClient() = default;

  static void OnNotification(uint32_t kind, const uint8_t* bytes, uint32_t count, void* context) {
    auto* self = static_cast<EnvelopeClient*>(context);
    std::lock_guard lock(self->mutex_);
    if (kind == HV_IPC_KIND_DISCONNECTED) {
      self->disconnected_ = true;
    } else {
      IpcMessage message;
      if (message.Deserialize(bytes, count)) self->notifications_.push_back(std::move(message));
    }
    self->arrived_.notify_all();
  }

  HvIpcClient* client_ = nullptr;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<IpcMessage> notifications_;
  bool disconnected_ = false;
};

}  // namespace integration
