// A stand-in for the settings service in the client tests: a real server of
// the IPC library, in this process, whose answers a test scripts; it records
// every request and can send notifications to any channel. A raw socket
// server beside it speaks the frame format by hand, for answers the library's
// server would never give.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qor/ipc/hv_qor_ipc.h"
#include "qor/ipc_test_support.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "wire/ipc_message.h"
#include "wire/value_conversion.h"

namespace client_test {

inline constexpr char kIdentity[] = "client_test";

// The 8 little-endian bytes of an Integer value.
inline std::string Int64Bytes(int64_t v) {
  std::string s;
  for (int i = 0; i < 8; ++i) s += static_cast<char>(static_cast<uint64_t>(v) >> (8 * i));
  return s;
}

// Points the IPC library (of this process and of the programs it starts) at a
// fresh directory, and the client library at the test identity.
class ScopedService {
 public:
  const std::filesystem::path& dir() const { return dir_.path(); }

 private:
  testing_support::TempDir dir_;
  testing_support::ScopedEnv ipc_dir_{"HV_QOR_IPC_DIR", dir_.path().string()};
  testing_support::ScopedEnv identity_{"VELDER_IDENTITY", kIdentity};
};

// What the scripted service answers to one request.
struct Reply {
  IpcMessage message;              // the response; its type is set to Response first
  std::optional<std::string> raw;  // when set, these bytes go back instead of the message
  bool handled = true;             // false: the callback refuses the request
};

class ScriptedService {
 public:
  using Script = std::function<void(const IpcMessage& request, Reply* reply)>;

  // Answers Success with no value unless `script` says otherwise.
  explicit ScriptedService(Script script = {}) : script_(std::move(script)) {
    EXPECT_EQ(HvIPC_RunServer(&server_, kIdentity, "VELDER_SERVICE", HV_IPC_SERVER_DEFAULT_FLAGS, &Callback, this, 4),
              HV_IPC_OK);
  }
  ~ScriptedService() {
    if (server_) HvIPC_StopServer(server_);
  }

  std::vector<IpcMessage> seen() const {
    std::lock_guard lock(mu_);
    return seen_;
  }

  // Sends `message` as a notification to `channel`; the library's result.
  uint32_t Notify(const std::string& channel, IpcMessage message) const {
    size_t count = 0;
    const uint8_t* bytes = message.Serialize(&count);
    return HvIPC_Send(kIdentity, channel.c_str(), HV_IPC_SEND_NOTIFICATION, HV_IPC_KIND_ENVELOPE, bytes,
                      static_cast<uint32_t>(count), nullptr, nullptr);
  }

 private:
  static uint32_t Callback(uint32_t kind, const uint8_t* bytes, uint32_t count, HvIpcMessage* message, void* context) {
    auto* self = static_cast<ScriptedService*>(context);
    IpcMessage request;
    if (kind != HV_IPC_KIND_ENVELOPE || !request.Deserialize(bytes, count)) return 1;
    Reply reply;
    reply.message.set_message_type(MessageType::Response);
    if (self->script_) self->script_(request, &reply);
    {
      std::lock_guard lock(self->mu_);
      self->seen_.push_back(std::move(request));
    }
    if (!reply.handled) return 1;
    size_t n = 0;
    const uint8_t* out = reply.raw ? reinterpret_cast<const uint8_t*>(reply.raw->data()) : reply.message.Serialize(&n);
    HvIPC_MessageSetResponse(message, out, static_cast<uint32_t>(reply.raw ? reply.raw->size() : n));
    return 0;
  }

  Script script_;
  HvIpcServer* server_ = nullptr;
  mutable std::mutex mu_;
  std::vector<IpcMessage> seen_;
};

// A server written by hand on the socket the client looks for: it greets
// each connection, reads one request frame, and then does what `act` says
// with the connection (write bytes, or nothing), and closes it.
class RawService {
 public:
  // Called with the connection after the first request frame was read, and
  // that request's id (4 bytes, as a response frame wants it).
  using Act = std::function<void(ipc_test::RawSocket& connection, const std::string& request_id)>;

  RawService(const std::filesystem::path& ipc_dir, Act act) : act_(std::move(act)) {
    const auto dir = ipc_dir / kIdentity;
    std::filesystem::create_directories(dir);
    ::chmod(dir.c_str(), 0755);
    listen_fd_ = ipc_test::BoundSocket((dir / "VELDER_SERVICE").string(), 4);
    EXPECT_GE(listen_fd_, 0);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawService() {
    ::shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    ::close(listen_fd_);
  }

 private:
  void Serve() {
    for (int fd; (fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      ipc_test::RawSocket connection(fd);
      connection.Write(ipc_test::RawFrame(HV_IPC_FRAME_HELLO, ipc_test::U32(HV_IPC_PROTOCOL_VERSION) + "raw.1"));
      uint8_t kind = 0;
      std::string body;
      if (connection.ReadFrame(&kind, &body)) act_(connection, body.substr(0, 4));
    }
  }

  Act act_;
  int listen_fd_ = -1;
  std::thread thread_;
};

}  // namespace client_test
