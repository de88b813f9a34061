// A client that speaks the frame format by hand, for tests that must send
// what no well-behaved client sends, or stop reading.
#pragma once

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "qor/ipc/hv_qor_ipc.h"
#include "wire/ipc_message.h"

namespace integration {

inline std::string U32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// A frame: body length, kind, body.
inline std::string Frame(uint8_t kind, const std::string& body) { return U32(static_cast<uint32_t>(body.size())) + char(kind) + body; }

// A request frame carrying `payload` as message kind `message_kind`.
inline std::string RequestFrame(uint32_t id, uint32_t message_kind, const std::string& payload) {
  return Frame(HV_IPC_FRAME_REQUEST, U32(id) + U32(message_kind) + payload);
}

inline std::string EnvelopeBytes(IpcMessage message) {
  size_t count = 0;
  const uint8_t* bytes = message.Serialize(&count);
  return std::string(reinterpret_cast<const char*>(bytes), count);
}

// A connection that speaks the frame format by hand.
class RawConnection {
 public:
  explicit RawConnection(const std::filesystem::path& socket_path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof(address.sun_path) - 1);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }

  // Reads what arrives within `timeout_ms` up to `count` bytes in all; the
  // bytes read, fewer when the time ran out or the peer closed.
  std::string Read(size_t count, int timeout_ms = 5000) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[4096];
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t r = ::recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
      if (r <= 0) break;
      bytes.append(buffer, static_cast<size_t>(r));
    }
    return bytes;
  }

  bool Write(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // True when the service closed the connection within `timeout_ms` (what
  // arrives before is read and dropped: the greeting, responses).
  bool ClosedByPeer(int timeout_ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t r = ::recv(fd_, buffer, sizeof buffer, 0);
      if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace integration
