#include "qor/ipc/ipc_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "qor/ipc/debug_log.h"
#include "qor/ipc/socket_location.h"

namespace qor_ipc {
namespace {

// The client whose notification callback this thread is running.
thread_local const IpcClient* tls_notifying = nullptr;

int RemainingMs(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, 1 << 30));
}

// Connects a non-blocking socket to `path`; errno describes a failure.
int ConnectTo(const std::string& path, const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    // A full backlog: the server is busy accepting; try again shortly.
    if (errno == EAGAIN && RemainingMs(deadline) != 0) {
      ::usleep(1000);
      continue;
    }
    if (errno == EINTR) continue;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

IpcClient::IpcClient(int fd, HvIPC_NotificationCallback callback, void* context)
    : fd_(fd), callback_(callback), context_(context) {}

IpcClient::~IpcClient() { ::close(fd_); }

IpcClient::Deadline IpcClient::DeadlineAfter(uint32_t timeout_ms) {
  if (timeout_ms == 0) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

uint32_t IpcClient::Connect(const std::string& identity, const std::string& service, uint32_t timeout_ms,
                            HvIPC_NotificationCallback callback, void* context, IpcClient** client) {
  if (!client) return HV_IPC_INVALID_PARAMETER;
  *client = nullptr;
  const auto locations = ClientLocations(identity, service);
  if (locations.empty()) return HV_IPC_INVALID_PARAMETER;
  const Deadline deadline = DeadlineAfter(timeout_ms);
  int fd = -1;
  uint32_t failure = HV_IPC_NOT_FOUND;
  for (const auto& location : locations) {
    fd = ConnectTo(location.socket_path, deadline);
    if (fd >= 0) break;
    if (errno == EACCES || errno == EPERM) {
      failure = HV_IPC_ACCESS_DENIED;
    } else if (errno == EAGAIN) {
      failure = HV_IPC_TIMEOUT;
    } else if (errno != ENOENT && errno != ECONNREFUSED && errno != ENOTDIR) {
      failure = HV_IPC_ERROR;
    }
    DebugLog("connect '{}' failed, errno={}", location.socket_path, errno);
  }
  if (fd < 0) return failure;
  // Blocking from now on, so that the reading thread sleeps in read() itself;
  // writes pass MSG_DONTWAIT and wait in poll() with their deadline.
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return HV_IPC_ERROR;
  }

  auto* c = new IpcClient(fd, callback, context);
  try {
    c->notifier_ = std::thread([c] { c->NotifyLoop(); });
    c->reader_ = std::thread([c] { c->ReadLoop(); });
  } catch (const std::exception& e) {
    DebugLog("cannot start client threads: {}", e.what());
    c->Close();
    return HV_IPC_ERROR;
  }
  const uint32_t rc = c->WaitForGreeting(deadline);
  if (rc != HV_IPC_OK) {
    c->Close();
    return rc;
  }
  *client = c;
  return HV_IPC_OK;
}

uint32_t IpcClient::WaitForGreeting(Deadline deadline) {
  std::unique_lock lock(mu_);
  while (!greeted_ && !ended_) {
    if (!deadline) {
      greeted_cv_.wait(lock);
    } else if (greeted_cv_.wait_until(lock, *deadline) == std::cv_status::timeout && !greeted_ && !ended_) {
      return HV_IPC_TIMEOUT;
    }
  }
  return greeted_ ? HV_IPC_OK : HV_IPC_DISCONNECTED;
}

uint32_t IpcClient::Request(uint32_t kind, const uint8_t* bytes, uint32_t count, uint32_t timeout_ms,
                            std::string* response) {
  if (tls_notifying == this) return HV_IPC_WRONG_THREAD;
  if (!response || (count > 0 && !bytes)) return HV_IPC_INVALID_PARAMETER;
  if (count > HV_IPC_MAX_REQUEST_PAYLOAD) return HV_IPC_TOO_LARGE;
  {
    std::lock_guard lock(mu_);
    if (ended_ || closing_) return HV_IPC_DISCONNECTED;
    ++active_requests_;
  }
  const uint32_t rc = DoRequest(kind, bytes, count, DeadlineAfter(timeout_ms), response);
  std::lock_guard lock(mu_);
  if (--active_requests_ == 0) idle_cv_.notify_all();
  return rc;
}

uint32_t IpcClient::DoRequest(uint32_t kind, const uint8_t* bytes, uint32_t count, Deadline deadline,
                              std::string* response) {
  auto pending = std::make_shared<Pending>();
  uint32_t id;
  {
    std::lock_guard lock(mu_);
    if (ended_) return HV_IPC_DISCONNECTED;
    do {
      id = next_id_++;
    } while (pending_.count(id) != 0);
    pending_[id] = pending;
  }
  const uint32_t rc = WriteFrame(
      MakeFrame(HV_IPC_FRAME_REQUEST, {id, kind}, std::string_view(reinterpret_cast<const char*>(bytes), count)),
      deadline);
  std::unique_lock lock(mu_);
  if (rc != HV_IPC_OK) {
    pending_.erase(id);
    return rc;
  }
  while (!pending->done) {
    if (!deadline) {
      pending->cv.wait(lock);
    } else if (pending->cv.wait_until(lock, *deadline) == std::cv_status::timeout && !pending->done) {
      // A late answer finds no one waiting and is dropped.
      pending_.erase(id);
      return HV_IPC_TIMEOUT;
    }
  }
  if (pending->status == HV_IPC_OK) *response = std::move(pending->payload);
  return pending->status;
}

uint32_t IpcClient::WriteFrame(const std::string& frame, Deadline deadline) {
  {
    std::unique_lock lock(write_mu_);
    while (writing_) {
      if (!deadline) {
        write_cv_.wait(lock);
      } else if (write_cv_.wait_until(lock, *deadline) == std::cv_status::timeout && writing_) {
        return HV_IPC_TIMEOUT;
      }
    }
    writing_ = true;
  }
  const uint32_t rc = WriteWhole(frame, deadline);
  {
    std::lock_guard lock(write_mu_);
    writing_ = false;
  }
  write_cv_.notify_one();
  return rc;
}

uint32_t IpcClient::WriteWhole(const std::string& frame, Deadline deadline) {
  size_t offset = 0;
  while (offset < frame.size()) {
    const ssize_t n = ::send(fd_, frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      offset += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      const int ready = ::poll(&p, 1, RemainingMs(deadline));
      if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
      if (ready == 0 && offset == 0) return HV_IPC_TIMEOUT;
    }
    // A frame cut short would garble every later one: the connection ends.
    DebugLog("channel {}: request not written, errno={}", channel_, errno);
    ::shutdown(fd_, SHUT_RDWR);
    return HV_IPC_DISCONNECTED;
  }
  return HV_IPC_OK;
}

void IpcClient::ReadLoop() {
  FrameReader reader((1u << HV_IPC_FRAME_RESPONSE) | (1u << HV_IPC_FRAME_NOTIFICATION) | (1u << HV_IPC_FRAME_HELLO),
                     HV_IPC_MAX_FRAME_BODY);
  char buffer[64 * 1024];
  bool ok = true;
  while (ok) {
    const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
    if (n > 0) {
      reader.Append(buffer, static_cast<size_t>(n));
      Frame frame;
      FrameReader::Status status;
      while (ok && (status = reader.Next(&frame)) == FrameReader::Status::kFrame) ok = HandleFrame(frame);
      if (ok && status == FrameReader::Status::kError) {
        DebugLog("channel {}: malformed frame from the server", channel_);
        ok = false;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // end of stream or a failed read
  }
  EndConnection();
}

bool IpcClient::HandleFrame(Frame& frame) {
  const char* body = frame.body.data();
  if (frame.kind == HV_IPC_FRAME_NOTIFICATION) {
    {
      std::lock_guard lock(mu_);
      if (!greeted_) return false;
    }
    // Kind 0 is this library's own "disconnected" mark; a server never sends it.
    const uint32_t kind = GetU32(body);
    if (kind == HV_IPC_KIND_DISCONNECTED) return false;
    frame.body.erase(0, 4);
    QueueNotification(Notification{kind, std::move(frame.body)});
    return true;
  }
  std::shared_ptr<Pending> p;
  {
    std::lock_guard lock(mu_);
    if (frame.kind == HV_IPC_FRAME_HELLO) {
      if (greeted_ || GetU32(body) != HV_IPC_PROTOCOL_VERSION) return false;
      channel_ = frame.body.substr(4);
      greeted_ = true;
      greeted_cv_.notify_all();
      return true;
    }
    if (!greeted_) return false;
    auto it = pending_.find(GetU32(body));
    if (it == pending_.end()) return true;  // its requester gave up waiting
    p = std::move(it->second);
    pending_.erase(it);
    const uint32_t status = GetU32(body + 4);
    const bool known = status == HV_IPC_OK || status == HV_IPC_NOT_HANDLED || status == HV_IPC_TOO_LARGE;
    p->status = known ? status : static_cast<uint32_t>(HV_IPC_ERROR);
    frame.body.erase(0, 8);
    p->payload = std::move(frame.body);
    p->done = true;
  }
  p->cv.notify_one();
  return true;
}

void IpcClient::EndConnection() {
  std::unordered_map<uint32_t, std::shared_ptr<Pending>> failed;
  {
    std::lock_guard lock(mu_);
    ended_ = true;
    for (auto& [id, p] : pending_) {
      p->status = HV_IPC_DISCONNECTED;
      p->done = true;
    }
    failed.swap(pending_);
    greeted_cv_.notify_all();
  }
  for (auto& [id, p] : failed) p->cv.notify_one();
  if (!closing_) QueueNotification(Notification{HV_IPC_KIND_DISCONNECTED, std::string()});
}

void IpcClient::QueueNotification(Notification note) {
  if (!callback_) return;
  std::unique_lock lock(note_mu_);
  while (!note_stop_ && notes_.size() >= kMaxQueuedNotifications) room_cv_.wait(lock);
  if (note_stop_) return;
  notes_.push_back(std::move(note));
  note_cv_.notify_one();
}

void IpcClient::NotifyLoop() {
  tls_notifying = this;
  while (true) {
    Notification note;
    {
      std::unique_lock lock(note_mu_);
      while (!note_stop_ && notes_.empty()) note_cv_.wait(lock);
      if (note_stop_) break;
      note = std::move(notes_.front());
      notes_.pop_front();
      room_cv_.notify_one();
    }
    callback_(note.kind, reinterpret_cast<const uint8_t*>(note.payload.data()),
              static_cast<uint32_t>(note.payload.size()), context_);
    if (close_in_callback_) {
      // HvIPC_ClientClose was called from the callback: finish it here, now
      // that the callback has returned, without joining this very thread.
      tls_notifying = nullptr;
      notifier_.detach();
      Teardown();
      {
        std::unique_lock lock(mu_);
        while (active_requests_ > 0) idle_cv_.wait(lock);
      }
      delete this;
      return;
    }
  }
  tls_notifying = nullptr;
}

void IpcClient::Close() {
  if (tls_notifying == this) {
    close_in_callback_ = true;
    return;
  }
  Teardown();
  if (notifier_.joinable()) notifier_.join();
  {
    // The reading thread has failed every waiting request; let their calls
    // return before the memory they stand on goes away.
    std::unique_lock lock(mu_);
    while (active_requests_ > 0) idle_cv_.wait(lock);
  }
  delete this;
}

void IpcClient::Teardown() {
  closing_ = true;
  {
    std::lock_guard lock(note_mu_);
    note_stop_ = true;
    notes_.clear();
  }
  note_cv_.notify_all();
  room_cv_.notify_all();
  ::shutdown(fd_, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
}

}  // namespace qor_ipc
