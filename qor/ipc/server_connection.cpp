#include "qor/ipc/server_connection.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/resource_limits.h"
#include "qor/ipc/debug_log.h"
#include "qor/ipc/hv_qor_ipc.h"

namespace qor_ipc {
namespace {

// Bytes read from one connection before the I/O thread turns to the others.
constexpr size_t kReadShare = 256 * 1024;
// Frames handed to one sendmsg call.
constexpr size_t kMaxIov = 32;

}  // namespace

ServerConnection::ServerConnection(int fd, int epoll_fd, uint64_t token, const ucred& peer, std::string identity,
                                   std::string channel, std::shared_ptr<PeerLimits> limits)
    : token_(token),
      epoll_fd_(epoll_fd),
      peer_(peer),
      identity_(std::move(identity)),
      channel_(std::move(channel)),
      fd_(fd),
      reader_(1u << HV_IPC_FRAME_REQUEST, HV_IPC_MAX_REQUEST_BODY),
      limits_(std::move(limits)),
      last_activity_ms_(NowMs()) {}

ServerConnection::~ServerConnection() {
  if (fd_ >= 0) ::close(fd_);
  if (limits_ && charged_ > 0) limits_->Uncharge(peer_.uid, charged_);
}

int64_t ServerConnection::NowMs() {
  // Never 0, which stands for "not now".
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() + 1;
}

std::string ServerConnection::Expired(Clock::time_point now, std::chrono::milliseconds frame_timeout,
                                      std::chrono::milliseconds idle_timeout) const {
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() + 1;
  const int64_t frame_started = frame_started_ms_.load(std::memory_order_relaxed);
  if (frame_started != 0 && now_ms - frame_started > frame_timeout.count()) {
    return fmt::format("a frame was not completed within {} ms", frame_timeout.count());
  }
  const int64_t stalled = stalled_since_ms_.load(std::memory_order_relaxed);
  if (stalled != 0 && now_ms - stalled > frame_timeout.count()) {
    return fmt::format("it read nothing of what was sent to it for {} ms", frame_timeout.count());
  }
  if (frame_started == 0 && stalled == 0 && !keep_.load(std::memory_order_relaxed) &&
      in_flight_count_.load(std::memory_order_relaxed) == 0 &&
      now_ms - last_activity_ms_.load(std::memory_order_relaxed) > idle_timeout.count()) {
    return fmt::format("it was idle for {} ms", idle_timeout.count());
  }
  return {};
}

bool ServerConnection::ChargeRead(size_t bytes) {
  if (!limits_) return true;
  if (!limits_->Charge(peer_.uid, bytes)) {
    Notice("Closed the connection of pid {}, uid {} (channel {}): its uid holds more than {} bytes of requests",
           peer_.pid, peer_.uid, channel_, resource_limits::kMaxBufferedBytesPerUid);
    return false;
  }
  platform::MutexLock lock(mu_);
  charged_ += bytes;
  return true;
}

bool ServerConnection::Register() {
  platform::MutexLock lock(mu_);
  if (GoneLocked()) return false;
  const uint32_t events = WantedEventsLocked();
  epoll_event ev{};
  ev.events = events | EPOLLET;
  ev.data.u64 = token_;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd_, &ev) != 0) return false;
  registered_ = true;
  registered_events_ = events;
  return true;
}

void ServerConnection::Abort() {
  platform::MutexLock lock(mu_);
  if (!GoneLocked()) BreakLocked();
}

bool ServerConnection::BeginHandling() {
  platform::MutexLock lock(mu_);
  if (closed_) return false;
  if (handling_) {
    rescan_ = true;
    return false;
  }
  handling_ = true;
  return true;
}

void ServerConnection::EndHandling() {
  platform::MutexLock lock(mu_);
  handling_ = false;
  if (closed_) return;
  FinishIfDoneLocked();
  if (rescan_ || WantedEventsLocked() != registered_events_) ArmLocked();
  rescan_ = false;
}

ServerConnection::ReadOutcome ServerConnection::ReadAvailable(std::vector<Frame>* frames, bool peer_closed) {
  char buffer[64 * 1024];
  size_t total = 0;
  while (total < kReadShare) {
    const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
    if (n > 0) {
      total += static_cast<size_t>(n);
      if (!ChargeRead(static_cast<size_t>(n))) return ReadOutcome::kError;
      const int64_t now = NowMs();
      last_activity_ms_.store(now, std::memory_order_relaxed);
      reader_.Append(buffer, static_cast<size_t>(n));
      Frame frame;
      FrameReader::Status status;
      bool completed = false;
      while ((status = reader_.Next(&frame)) == FrameReader::Status::kFrame) {
        frames->push_back(std::move(frame));
        completed = true;
      }
      if (status == FrameReader::Status::kError) {
        Notice("Closed the connection of pid {}, uid {} (channel {}): a malformed frame or one over {} bytes",
               peer_.pid, peer_.uid, channel_, HV_IPC_MAX_REQUEST_BODY);
        return ReadOutcome::kError;
      }
      // The time-out of a frame runs from its first byte.
      if (!reader_.InsideFrame()) {
        frame_started_ms_.store(0, std::memory_order_relaxed);
      } else if (completed || frame_started_ms_.load(std::memory_order_relaxed) == 0) {
        frame_started_ms_.store(now, std::memory_order_relaxed);
      }
      // A short read took everything there was; epoll reports anything newer.
      // Not the end of the stream, though, which came with this very event:
      // read on until it shows.
      if (static_cast<size_t>(n) < sizeof(buffer) && !peer_closed) break;
      continue;
    }
    if (n == 0) {
      if (reader_.InsideFrame()) {
        DebugLog("channel {}: connection ended inside a frame", channel_);
        return ReadOutcome::kError;
      }
      return ReadOutcome::kEnd;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    DebugLog("channel {}: read failed, errno={}", channel_, errno);
    return ReadOutcome::kError;
  }
  if (total >= kReadShare) {
    // No new edge comes for bytes already there: have them reported again.
    platform::MutexLock lock(mu_);
    rescan_ = true;
  }
  return ReadOutcome::kOpen;
}

void ServerConnection::NoteEnd() {
  platform::MutexLock lock(mu_);
  ended_ = true;
  UpdateInterestLocked();
  FinishIfDoneLocked();
}

void ServerConnection::OnWritable() {
  platform::MutexLock lock(mu_);
  FlushLocked();
  UpdateInterestLocked();
  FinishIfDoneLocked();
}

void ServerConnection::Close() {
  platform::MutexLock lock(mu_);
  if (closed_) return;
  closed_ = true;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd_, nullptr);
  ::close(fd_);
  fd_ = -1;
  DropQueueLocked();
  if (limits_ && charged_ > 0) limits_->Uncharge(peer_.uid, charged_);
  charged_ = 0;
  written_cv_.NotifyAll();
}

void ServerConnection::DropQueueLocked() {
  queue_.clear();
  queued_bytes_ = 0;
  queued_notification_bytes_ = 0;
  head_written_ = 0;
  stalled_since_ms_.store(0, std::memory_order_relaxed);
}

void ServerConnection::QueueFrame(std::string frame) {
  platform::MutexLock lock(mu_);
  if (GoneLocked()) return;
  PushLocked(std::move(frame));
  FlushLocked();
  UpdateInterestLocked();
}

void ServerConnection::RequestAccepted() {
  platform::MutexLock lock(mu_);
  ++in_flight_;
  in_flight_count_.store(in_flight_, std::memory_order_relaxed);
  UpdateInterestLocked();
}

void ServerConnection::RequestDone(std::string response, size_t request_bytes) {
  platform::MutexLock lock(mu_);
  --in_flight_;
  in_flight_count_.store(in_flight_, std::memory_order_relaxed);
  last_activity_ms_.store(NowMs(), std::memory_order_relaxed);
  const size_t release = std::min(request_bytes, charged_);
  if (limits_ && release > 0) limits_->Uncharge(peer_.uid, release);
  charged_ -= release;
  if (GoneLocked()) return;  // the client left: its answer goes nowhere
  if (!response.empty()) {
    PushLocked(std::move(response));
    FlushLocked();
  }
  UpdateInterestLocked();
  FinishIfDoneLocked();
}

uint32_t ServerConnection::Send(std::shared_ptr<const std::string> frame, uint32_t timeout_ms, uint8_t delivery) {
  if (delivery == HV_IPC_DELIVERY_QUEUE_OR_CLOSE) {
    size_t unread = 0;
    {
      platform::MutexLock lock(mu_);
      if (GoneLocked()) return HV_IPC_DISCONNECTED;
      // One notification may always wait, however large; beyond the bound the
      // client has stopped reading and would only cost the service memory.
      if (queued_notification_bytes_ == 0 ||
          queued_notification_bytes_ + frame->size() <= resource_limits::kMaxQueuedNotificationBytes) {
        PushSharedLocked(std::move(frame));
        FlushLocked();
        UpdateInterestLocked();
        return GoneLocked() ? HV_IPC_DISCONNECTED : HV_IPC_OK;
      }
      unread = queued_notification_bytes_;
      BreakLocked();
    }
    Notice("Closed the connection of pid {}, uid {} (channel {}): {} bytes of notifications not read", peer_.pid,
           peer_.uid, channel_, unread);
    return HV_IPC_DISCONNECTED;
  }
  const bool wait_for_write = delivery != HV_IPC_DELIVERY_QUEUED;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  platform::MutexLock lock(mu_);
  // Room first: one frame may always go into an empty queue, however large.
  constexpr size_t kMaxQueuedBytes = resource_limits::kMaxQueuedBytes;
  while (!GoneLocked() && queued_bytes_ > 0 && queued_bytes_ + frame->size() > kMaxQueuedBytes) {
    if (!written_cv_.WaitUntil(mu_, deadline) && !GoneLocked() && queued_bytes_ > 0 &&
        queued_bytes_ + frame->size() > kMaxQueuedBytes) {
      DebugLog("channel {}: no room for a notification within {} ms", channel_, timeout_ms);
      return HV_IPC_TIMEOUT;
    }
  }
  if (GoneLocked()) return HV_IPC_DISCONNECTED;
  const uint64_t seq = PushSharedLocked(std::move(frame));
  FlushLocked();
  UpdateInterestLocked();
  if (GoneLocked()) return HV_IPC_DISCONNECTED;
  if (!wait_for_write) return HV_IPC_OK;
  while (written_seq_ < seq) {
    if (GoneLocked()) return HV_IPC_DISCONNECTED;
    if (!written_cv_.WaitUntil(mu_, deadline)) {
      if (written_seq_ >= seq) break;
      if (GoneLocked()) return HV_IPC_DISCONNECTED;
      // Take the frame back unless its first bytes are already out: a frame
      // cut short would garble the stream, so that one has to go out whole.
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->seq != seq) continue;
        if (it != queue_.begin() || head_written_ == 0) {
          queued_bytes_ -= it->bytes().size();
          queued_notification_bytes_ -= it->bytes().size();
          queue_.erase(it);
          if (queue_.empty()) stalled_since_ms_.store(0, std::memory_order_relaxed);
          UpdateInterestLocked();
          written_cv_.NotifyAll();  // room for other senders
        }
        break;
      }
      DebugLog("channel {}: notification not written within {} ms", channel_, timeout_ms);
      return HV_IPC_TIMEOUT;
    }
  }
  return HV_IPC_OK;
}

bool ServerConnection::IsClosed() const {
  platform::MutexLock lock(mu_);
  return GoneLocked();
}

uint64_t ServerConnection::PushLocked(std::string frame) {
  return PushOutLocked(OutFrame{std::move(frame), nullptr, 0, false});
}

uint64_t ServerConnection::PushSharedLocked(std::shared_ptr<const std::string> frame) {
  return PushOutLocked(OutFrame{std::string(), std::move(frame), 0, true});
}

uint64_t ServerConnection::PushOutLocked(OutFrame out) {
  if (queue_.empty()) stalled_since_ms_.store(NowMs(), std::memory_order_relaxed);
  const size_t size = out.bytes().size();
  queued_bytes_ += size;
  if (out.notification) queued_notification_bytes_ += size;
  const uint64_t seq = next_seq_++;
  out.seq = seq;
  queue_.push_back(std::move(out));
  return seq;
}

void ServerConnection::PopFrontLocked() {
  const OutFrame& head = queue_.front();
  queued_bytes_ -= head.bytes().size();
  if (head.notification) queued_notification_bytes_ -= head.bytes().size();
  written_seq_ = head.seq;
  head_written_ = 0;
  queue_.pop_front();
}

void ServerConnection::FlushLocked() {
  bool progress = false;
  while (!queue_.empty() && !GoneLocked()) {
    iovec iov[kMaxIov];
    size_t count = 0;
    for (auto it = queue_.begin(); it != queue_.end() && count < kMaxIov; ++it, ++count) {
      const size_t skip = count == 0 ? head_written_ : 0;
      iov[count].iov_base = const_cast<char*>(it->bytes().data()) + skip;
      iov[count].iov_len = it->bytes().size() - skip;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      DebugLog("channel {}: write failed, errno={}", channel_, errno);
      BreakLocked();
      return;
    }
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      OutFrame& head = queue_.front();
      const size_t rest = head.bytes().size() - head_written_;
      if (left < rest) {
        head_written_ += left;
        left = 0;
        break;
      }
      left -= rest;
      PopFrontLocked();
    }
    progress = true;
  }
  if (progress) {
    stalled_since_ms_.store(queue_.empty() ? 0 : NowMs(), std::memory_order_relaxed);
    written_cv_.NotifyAll();
  }
}

void ServerConnection::BreakLocked() {
  broken_ = true;
  DropQueueLocked();
  // The I/O thread sees the hang-up and closes the socket.
  ::shutdown(fd_, SHUT_RDWR);
  ReportHangUpLocked();
  written_cv_.NotifyAll();
}

void ServerConnection::ReportHangUpLocked() {
  // Our own shutdown need not wake epoll; setting the registration again
  // makes it report the hang-up (rare: once per connection).
  if (!registered_ || closed_) return;
  if (handling_) {
    rescan_ = true;
  } else {
    ArmLocked();
  }
}

uint32_t ServerConnection::WantedEventsLocked() const {
  const bool want_read = !ended_ && !broken_ && in_flight_ < resource_limits::kMaxRequestsInFlight &&
                         queued_bytes_ < resource_limits::kMaxQueuedBytes;
  const bool want_write = !broken_ && !queue_.empty();
  return (want_read ? (EPOLLIN | EPOLLRDHUP) : 0u) | (want_write ? EPOLLOUT : 0u);
}

void ServerConnection::ArmLocked() {
  const uint32_t events = WantedEventsLocked();
  epoll_event ev{};
  ev.events = events | EPOLLET;
  ev.data.u64 = token_;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd_, &ev) == 0) registered_events_ = events;
}

void ServerConnection::UpdateInterestLocked() {
  // A handler updates the registration when it ends.
  if (closed_ || handling_ || !registered_) return;
  if (WantedEventsLocked() != registered_events_) ArmLocked();
}

void ServerConnection::FinishIfDoneLocked() {
  if (!ended_ || finishing_ || GoneLocked() || in_flight_ > 0 || !queue_.empty()) return;
  finishing_ = true;
  ::shutdown(fd_, SHUT_RDWR);
  ReportHangUpLocked();
}

}  // namespace qor_ipc
