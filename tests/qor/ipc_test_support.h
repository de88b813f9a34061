// Helpers of the IPC library tests (and of the integration tests that speak
// the frame format by hand): a directory per test, a server driven by a
// lambda, a client that records its notifications, and a raw socket.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/manual_reset_event.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace ipc_test {

using namespace std::chrono_literals;
using platform::ManualResetEvent;

inline constexpr char kIdentity[] = "test_identity";
inline constexpr char kService[] = "TEST_SERVICE";

// Points the library at a fresh directory for the lifetime of the object.
class ScopedIpcDir {
 public:
  const std::filesystem::path& path() const { return dir_.path(); }
  std::string SocketPath() const { return (dir_.path() / kIdentity / kService).string(); }

 private:
  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_{"HV_QOR_IPC_DIR", dir_.path().string()};
};

class IpcTest : public testing::Test {
 protected:
  ScopedIpcDir dir_;
};

inline HvIpcSendOptions Options(uint32_t timeout_ms, uint8_t delivery = HV_IPC_DELIVERY_WRITTEN) {
  HvIpcSendOptions o{};
  o.size = sizeof(o);
  o.timeout_ms = timeout_ms;
  o.delivery = delivery;
  return o;
}

// A notification to `channel`; the library's result.
inline uint32_t Send(const std::string& channel, std::string_view bytes, const HvIpcSendOptions* options,
                     const char* identity = kIdentity, uint32_t kind = 1) {
  return HvIPC_Send(identity, channel.c_str(), HV_IPC_SEND_NOTIFICATION, kind,
                    reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()), nullptr,
                    options);
}

inline uint32_t Respond(HvIpcMessage* message, std::string_view bytes) {
  return HvIPC_MessageSetResponse(message, reinterpret_cast<const uint8_t*>(bytes.data()),
                                  static_cast<uint32_t>(bytes.size()));
}

// A server whose callback is a lambda.
class TestServer {
 public:
  using Handler = std::function<uint32_t(uint32_t kind, std::string_view bytes, HvIpcMessage* message)>;

  static uint32_t Echo(uint32_t, std::string_view bytes, HvIpcMessage* message) { return Respond(message, bytes); }

  explicit TestServer(Handler handler = Echo, uint32_t threads = 0, const char* identity = kIdentity)
      : handler_(std::move(handler)) {
    result_ = HvIPC_RunServer(&server_, identity, kService, HV_IPC_SERVER_DEFAULT_FLAGS, &TestServer::Callback, this,
                              threads);
  }
  ~TestServer() { Stop(); }

  uint32_t result() const { return result_; }
  HvIpcServer* handle() const { return server_; }
  uint32_t Stop() {
    const uint32_t rc = server_ ? HvIPC_StopServer(server_) : uint32_t{HV_IPC_OK};
    if (rc == HV_IPC_OK) server_ = nullptr;
    return rc;
  }

 private:
  static uint32_t Callback(uint32_t kind, const uint8_t* bytes, uint32_t count, HvIpcMessage* message, void* self) {
    return static_cast<TestServer*>(self)->handler_(kind, {reinterpret_cast<const char*>(bytes), count}, message);
  }

  Handler handler_;
  HvIpcServer* server_ = nullptr;
  uint32_t result_ = HV_IPC_ERROR;
};

// A client that keeps every notification it receives.
class TestClient {
 public:
  TestClient() {
    HvIpcClient* c = nullptr;
    result_ = HvIPC_ClientConnect(&c, kIdentity, kService, 5000, &TestClient::OnNotification, this);
    client_ = c;
  }
  ~TestClient() { Close(); }

  uint32_t result() const { return result_; }
  HvIpcClient* handle() const { return client_; }
  std::string channel() const { return client_ ? HvIPC_ClientGetChannel(client_) : std::string(); }
  // May run while another thread waits in Request (which then fails).
  void Close() {
    if (HvIpcClient* c = client_.exchange(nullptr)) HvIPC_ClientClose(c);
  }

  uint32_t Request(uint32_t kind, std::string_view payload, std::string* response, uint32_t timeout_ms = 10000) {
    uint8_t* bytes = nullptr;
    uint32_t count = 0;
    HvIpcClient* c = client_;
    if (!c) return HV_IPC_DISCONNECTED;
    const uint32_t rc = HvIPC_ClientRequest(c, kind, reinterpret_cast<const uint8_t*>(payload.data()),
                                            static_cast<uint32_t>(payload.size()), timeout_ms, &bytes, &count);
    if (response) response->assign(reinterpret_cast<const char*>(bytes), count);
    HvIPC_ClientFreeBuffer(bytes);
    return rc;
  }
  // The answer to `payload`, or "status N" when there is none.
  std::string Ask(std::string_view payload) {
    std::string response;
    const uint32_t rc = Request(1, payload, &response);
    return rc == HV_IPC_OK ? response : "status " + std::to_string(rc);
  }

  // Waits until `n` notifications arrived (or 10 s passed) and returns them.
  std::vector<std::pair<uint32_t, std::string>> WaitForNotifications(size_t n) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, 10s, [&] { return notes_.size() >= n; });
    return notes_;
  }

 private:
  static void OnNotification(uint32_t kind, const uint8_t* bytes, uint32_t count, void* context) {
    auto* self = static_cast<TestClient*>(context);
    {
      std::lock_guard lock(self->mu_);
      self->notes_.emplace_back(kind, std::string(reinterpret_cast<const char*>(bytes), count));
    }
    self->cv_.notify_all();
  }

  std::atomic<HvIpcClient*> client_{nullptr};
  uint32_t result_ = HV_IPC_ERROR;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<uint32_t, std::string>> notes_;
};

template <typename... Parts>
bool Up(const Parts&... parts) {
  return ((parts.result() == HV_IPC_OK) && ...);
}

// Little-endian 32-bit word as bytes.
inline std::string U32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

// A frame built by hand: length, kind, body.
inline std::string RawFrame(uint8_t kind, const std::string& body) {
  return U32(static_cast<uint32_t>(body.size())) + std::string(1, static_cast<char>(kind)) + body;
}

inline sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  return addr;
}

// A stream socket listening on `path`; -1 when that fails.
inline int BoundSocket(const std::string& path, int backlog) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = UnixAddress(path);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 && ::listen(fd, backlog) == 0) return fd;
  ::close(fd);
  return -1;
}

// A blocking Unix socket speaking bytes, not frames.
class RawSocket {
 public:
  explicit RawSocket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_un addr = UnixAddress(path);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  // Takes over a connection a test's own listener accepted.
  explicit RawSocket(int fd) : fd_(fd), connected_(fd >= 0) {}
  ~RawSocket() { ::close(fd_); }

  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Reads exactly `n` bytes within `timeout_ms`; false on end, error or time-out.
  bool ReadExactly(size_t n, std::string* out, int timeout_ms = 10000) {
    out->clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (out->size() < n) {
      const ssize_t r = ReadBefore(deadline, buffer, std::min(sizeof(buffer), n - out->size()));
      if (r <= 0) return false;
      out->append(buffer, static_cast<size_t>(r));
    }
    return true;
  }

  bool ReadFrame(uint8_t* kind, std::string* body, int timeout_ms = 10000) {
    std::string header;
    if (!ReadExactly(5, &header, timeout_ms)) return false;
    *kind = static_cast<uint8_t>(header[4]);
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(static_cast<unsigned char>(header[i])) << (8 * i);
    return ReadExactly(length, body, timeout_ms);
  }

  // Reads the greeting and returns the channel name ("" if none came).
  std::string ReadHello() {
    uint8_t kind = 0;
    std::string body;
    if (!ReadFrame(&kind, &body) || kind != HV_IPC_FRAME_HELLO || body.size() < 4) return std::string();
    return body.substr(4);
  }

  // True when the peer closes the connection within `timeout_ms` (whatever it
  // still sends before is skipped).
  bool WaitClosed(int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    for (;;) {
      const ssize_t r = ReadBefore(deadline, buffer, sizeof(buffer));
      if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
      if (r < 0) return false;
    }
  }

 private:
  // One read once data came before `deadline`; -1 with ETIMEDOUT when none did.
  ssize_t ReadBefore(std::chrono::steady_clock::time_point deadline, char* buffer, size_t n) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    return ::read(fd_, buffer, n);
  }

  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace ipc_test
