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
    : fd_(fd),
      callback_(callback),
      context_(context),
      frames_((1u << HV_IPC_FRAME_RESPONSE) | (1u << HV_IPC_FRAME_NOTIFICATION) | (1u << HV_IPC_FRAME_HELLO),
              HV_IPC_MAX_FRAME_BODY),
      read_buffer_(64 * 1024, '\0') {}

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
  // writes and a leading caller's reads pass MSG_DONTWAIT and wait in poll()
  // with their deadline.
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
  platform::MutexLock lock(mu_);
  while (!greeted_ && !ended_) {
    if (!deadline) {
      greeted_cv_.Wait(mu_);
    } else if (!greeted_cv_.WaitUntil(mu_, *deadline) && !greeted_ && !ended_) {
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
    platform::MutexLock lock(mu_);
    if (ended_ || closing_) return HV_IPC_DISCONNECTED;
    ++active_requests_;
  }
  const uint32_t rc = DoRequest(kind, bytes, count, DeadlineAfter(timeout_ms), response);
  platform::MutexLock lock(mu_);
  if (--active_requests_ == 0) idle_cv_.NotifyAll();
  return rc;
}

uint32_t IpcClient::DoRequest(uint32_t kind, const uint8_t* bytes, uint32_t count, Deadline deadline,
                              std::string* response) {
  auto pending = std::make_shared<Pending>();
  const uint32_t rc = Exchange(kind, bytes, count, deadline, pending);
  if (rc == HV_IPC_OK) *response = std::move(pending->payload);
  return rc;
}

uint32_t IpcClient::Exchange(uint32_t kind, const uint8_t* bytes, uint32_t count, Deadline deadline,
                             const std::shared_ptr<Pending>& pending) {
  uint32_t id;
  {
    platform::MutexLock lock(mu_);
    if (ended_) return HV_IPC_DISCONNECTED;
    do {
      id = next_id_++;
    } while (pending_.count(id) != 0);
    pending_[id] = pending;
  }
  const uint32_t rc = WriteFrame(
      MakeFrame(HV_IPC_FRAME_REQUEST, {id, kind}, std::string_view(reinterpret_cast<const char*>(bytes), count)),
      deadline);
  {
    platform::MutexLock lock(mu_);
    if (rc != HV_IPC_OK) {
      pending_.erase(id);
      return rc;
    }
    if (pending->done || leader_ != Leader::kNone || ended_ || pending_.size() != 1) {
      return FollowForAnswerLocked(id, pending, deadline);
    }
    leader_ = Leader::kCaller;
  }
  return LeadForAnswer(id, pending, deadline);
}

uint32_t IpcClient::FollowForAnswerLocked(uint32_t id, const std::shared_ptr<Pending>& pending, Deadline deadline) {
  while (!pending->done) {
    if (!deadline) {
      pending->cv.Wait(mu_);
    } else if (!pending->cv.WaitUntil(mu_, *deadline) && !pending->done) {
      // A late answer finds no one waiting and is dropped.
      pending_.erase(id);
      return HV_IPC_TIMEOUT;
    }
  }
  return pending->status;
}

uint32_t IpcClient::LeadForAnswer(uint32_t id, const std::shared_ptr<Pending>& pending, Deadline deadline) {
  bool broken = false;
  bool hand_over = false;
  while (true) {
    const Buffered handled = HandleBuffered(false);
    broken = handled == Buffered::kBroken;
    hand_over = handled == Buffered::kQueueFull;
    if (broken || hand_over) break;
    {
      platform::MutexLock lock(mu_);
      if (pending->done) break;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready == 0) break;  // the deadline passed
    if (ready < 0) {
      if (errno == EINTR) continue;
      broken = true;
      break;
    }
    const ssize_t n = ::recv(fd_, read_buffer_.data(), read_buffer_.size(), MSG_DONTWAIT);
    if (n > 0) {
      frames_.Append(read_buffer_.data(), static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      broken = true;  // end of stream or a failed read
      break;
    }
  }
  if (broken) EndConnection();
  platform::MutexLock lock(mu_);
  ReleaseLeadLocked();
  if (!pending->done) {
    // Handed over: the reading thread answers it. Else the deadline passed.
    if (hand_over) return FollowForAnswerLocked(id, pending, deadline);
    pending_.erase(id);
    return HV_IPC_TIMEOUT;
  }
  return pending->status;
}

void IpcClient::ReleaseLeadLocked() {
  leader_ = Leader::kNone;
  released_at_ = Clock::now();
  // The reading thread takes over at once when others wait for answers;
  // else it comes back after kLeadGrace, which costs a wake-up only when it
  // was parked.
  if (reader_parked_ || !pending_.empty() || ended_ || closing_) lead_cv_.NotifyOne();
}

uint32_t IpcClient::WriteFrame(const std::string& frame, Deadline deadline) {
  {
    platform::MutexLock lock(write_mu_);
    while (writing_) {
      if (!deadline) {
        write_cv_.Wait(write_mu_);
      } else if (!write_cv_.WaitUntil(write_mu_, *deadline) && writing_) {
        return HV_IPC_TIMEOUT;
      }
    }
    writing_ = true;
  }
  const uint32_t rc = WriteWhole(frame, deadline);
  {
    platform::MutexLock lock(write_mu_);
    writing_ = false;
  }
  write_cv_.NotifyOne();
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
  while (true) {
    {
      platform::MutexLock lock(mu_);
      if (!AwaitLeadLocked()) return;
    }
    bool broken = false;
    while (!broken) {
      if (held_note_) {
        // A leading caller found the queue full: this thread waits for room.
        QueueNotification(*held_note_);
        held_note_.reset();
      }
      if (HandleBuffered(true) == Buffered::kBroken) {
        broken = true;
        break;
      }
      {
        platform::MutexLock lock(mu_);
        // Let callers lead again once no request waits for this thread.
        if (greeted_ && pending_.empty() && lead_offered_) {
          lead_offered_ = false;
          ReleaseLeadLocked();
          break;
        }
      }
      const ssize_t n = ::read(fd_, read_buffer_.data(), read_buffer_.size());
      if (n > 0) {
        frames_.Append(read_buffer_.data(), static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        broken = true;  // end of stream or a failed read
      }
    }
    if (broken) {
      EndConnection();
      platform::MutexLock lock(mu_);
      ReleaseLeadLocked();
      return;
    }
  }
}

bool IpcClient::AwaitLeadLocked() {
  while (!ended_) {
    if (leader_ != Leader::kNone) {
      reader_parked_ = true;
      lead_cv_.Wait(mu_);
      reader_parked_ = false;
      continue;
    }
    const auto until = released_at_ + kLeadGrace;
    if (!pending_.empty() || closing_ || Clock::now() >= until) {
      leader_ = Leader::kReader;
      lead_offered_ = false;
      return true;
    }
    lead_cv_.WaitUntil(mu_, until);
  }
  return false;
}

IpcClient::Buffered IpcClient::HandleBuffered(bool may_wait) {
  Frame frame;
  FrameReader::Status status;
  while ((status = frames_.Next(&frame)) == FrameReader::Status::kFrame) {
    if (frame.kind == HV_IPC_FRAME_NOTIFICATION) {
      std::optional<Notification> note;
      if (!TakeNotification(frame, &note)) return Buffered::kBroken;
      if (note && !QueueNotification(*note, may_wait)) {
        held_note_ = std::move(note);
        return Buffered::kQueueFull;
      }
      continue;
    }
    if (!HandleFrame(frame)) return Buffered::kBroken;
  }
  if (status == FrameReader::Status::kError) {
    DebugLog("channel {}: malformed frame from the server", channel_);
    return Buffered::kBroken;
  }
  return Buffered::kDone;
}

bool IpcClient::TakeNotification(Frame& frame, std::optional<Notification>* note) {
  {
    platform::MutexLock lock(mu_);
    if (!greeted_) return false;
  }
  // Kind 0 is this library's own "disconnected" mark; a server never sends it.
  const uint32_t kind = GetU32(frame.body.data());
  if (kind == HV_IPC_KIND_DISCONNECTED) return false;
  frame.body.erase(0, 4);
  if (callback_) note->emplace(Notification{kind, std::move(frame.body)});
  return true;
}

bool IpcClient::HandleFrame(Frame& frame) {
  const char* body = frame.body.data();
  std::shared_ptr<Pending> p;
  {
    platform::MutexLock lock(mu_);
    if (frame.kind == HV_IPC_FRAME_HELLO) {
      if (greeted_ || GetU32(body) != HV_IPC_PROTOCOL_VERSION) return false;
      channel_ = frame.body.substr(4);
      greeted_ = true;
      greeted_cv_.NotifyAll();
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
    if (leader_ == Leader::kReader) lead_offered_ = true;
  }
  p->cv.NotifyOne();
  return true;
}

void IpcClient::EndConnection() {
  std::unordered_map<uint32_t, std::shared_ptr<Pending>> failed;
  {
    platform::MutexLock lock(mu_);
    if (ended_) return;
    ended_ = true;
    for (auto& [id, p] : pending_) {
      p->status = HV_IPC_DISCONNECTED;
      p->done = true;
    }
    failed.swap(pending_);
    greeted_cv_.NotifyAll();
  }
  for (auto& [id, p] : failed) p->cv.NotifyOne();
  if (!closing_) {
    Notification note{HV_IPC_KIND_DISCONNECTED, std::string()};
    QueueNotification(note);
  }
}

bool IpcClient::QueueNotification(Notification& note, bool may_wait) {
  if (!callback_) return true;
  platform::MutexLock lock(note_mu_);
  while (!note_stop_ && notes_.size() >= kMaxQueuedNotifications) {
    if (!may_wait) return false;
    room_cv_.Wait(note_mu_);
  }
  if (note_stop_) return true;
  notes_.push_back(std::move(note));
  note_cv_.NotifyOne();
  return true;
}

void IpcClient::NotifyLoop() {
  tls_notifying = this;
  while (true) {
    Notification note;
    {
      platform::MutexLock lock(note_mu_);
      while (!note_stop_ && notes_.empty()) note_cv_.Wait(note_mu_);
      if (note_stop_) break;
      note = std::move(notes_.front());
      notes_.pop_front();
      room_cv_.NotifyOne();
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
        platform::MutexLock lock(mu_);
        while (active_requests_ > 0) idle_cv_.Wait(mu_);
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
    platform::MutexLock lock(mu_);
    while (active_requests_ > 0) idle_cv_.Wait(mu_);
  }
  delete this;
}

void IpcClient::Teardown() {
  closing_ = true;
  {
    platform::MutexLock lock(note_mu_);
    note_stop_ = true;
    notes_.clear();
  }
  note_cv_.NotifyAll();
  room_cv_.NotifyAll();
  ::shutdown(fd_, SHUT_RDWR);
  {
    platform::MutexLock lock(mu_);
    lead_cv_.NotifyAll();  // the reading thread takes the lead to see the end
  }
  if (reader_.joinable()) reader_.join();
}

}  // namespace qor_ipc
