// One client connection of a server: the socket, the client's credentials,
// its channel name and its write queue.
//
// The server's threads all wait on one epoll set in which the socket is
// registered edge-triggered: the thread that receives an event "handles" the
// connection (reads it, closes it) alone, between BeginHandling and
// EndHandling. The registration changes only when what the connection waits
// for changes (it stops reading at its limits, it has bytes queued to write)
// or when an event came while another thread was handling: then EndHandling
// modifies it, which makes epoll report whatever is ready again. So a request
// costs no epoll_ctl. Writing may
// happen on any thread: a callback's response, HvIPC_Send's notification, a
// handler when the socket has room again. Whoever queues a frame writes at
// once as much as the socket takes without blocking; the rest waits in a
// bounded queue for the socket to drain. So a client that does not read only
// ever delays writers to itself, and only up to their time-out; a sender that
// does not wait at all (HV_IPC_DELIVERY_QUEUE_OR_CLOSE) closes a client whose
// unread notifications pass their bound instead.
//
// Limits: the bytes read and not yet answered count against the uid's share
// in PeerLimits; the server's timer asks Expired for half-sent frames, unread
// queues and idleness.
//
// Only a handler (or Stop, after the server's threads ended) closes the
// socket; other threads that meet a broken socket shut it down, which makes
// the next event a hang-up for a handler to close.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "qor/ipc/frame.h"
#include "qor/ipc/peer_limits.h"

namespace qor_ipc {

class ServerConnection {
 public:
  // Takes ownership of `fd` (non-blocking). `token` is the connection's epoll
  // key; `limits` counts the bytes the connection holds for its uid.
  ServerConnection(int fd, int epoll_fd, uint64_t token, const ucred& peer, std::string identity,
                   std::string channel, std::shared_ptr<PeerLimits> limits);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  uint64_t token() const { return token_; }
  const std::string& identity() const { return identity_; }
  const std::string& channel() const { return channel_; }
  uid_t uid() const { return peer_.uid; }
  pid_t pid() const { return peer_.pid; }

  // Exempts the connection from the idle time-out (a listening client).
  void SetKeep(bool keep) { keep_.store(keep, std::memory_order_relaxed); }
  // Why the connection is to be closed at `now`: a frame begun longer than
  // `frame_timeout` ago, queued bytes that have not moved for as long, or
  // idleness (nothing sent, nothing in flight, not kept) for `idle_timeout`.
  // Empty while it is fine.
  std::string Expired(std::chrono::steady_clock::time_point now, std::chrono::milliseconds frame_timeout,
                      std::chrono::milliseconds idle_timeout) const;

  // Adds the socket to the epoll set. Frames queued before (the greeting)
  // go out first; nothing is read before this.
  bool Register();
  // Shuts the socket down: waiting senders return, answers still to come are
  // dropped, and the next event closes the connection.
  void Abort();

  // A server thread received an event for the connection. False when another
  // thread handles it already or it is closed: then nothing is to be done
  // here, the other handler has epoll report the event again when it ends.
  bool BeginHandling();
  // Arms the registration again for what the connection now waits for.
  void EndHandling();

  // ---- The handler only.

  enum class ReadOutcome { kOpen, kEnd, kError };
  // Reads what the socket has (up to a fair share: the rest is reported
  // again after EndHandling) and appends the complete frames. kEnd: the client closed its sending side between frames; kError:
  // garbage, a truncated frame or a failed read.
  // `peer_closed`: the event reported the client's end of sending.
  ReadOutcome ReadAvailable(std::vector<Frame>* frames, bool peer_closed);
  // The client sends no more; once its requests are answered and written the
  // connection is shut down (and then closed by the I/O thread).
  void NoteEnd();
  // The socket can take more bytes.
  void OnWritable();
  // Closes the socket; queued frames are dropped and waiting senders woken.
  void Close();

  // ---- Any thread.

  // Queues a frame (the greeting) without waiting.
  void QueueFrame(std::string frame);
  // A request was handed to the pool.
  void RequestAccepted();
  // A request of `request_bytes` (its whole frame) is finished; `response` is
  // its frame, or empty when none is sent.
  void RequestDone(std::string response, size_t request_bytes);
  // Writes a notification frame (HvIPC_Send); `delivery` is an
  // HV_IPC_DELIVERY_* value. See hv_qor_ipc.h for the results.
  // The frame may be shared with the queues of other connections.
  uint32_t Send(std::shared_ptr<const std::string> frame, uint32_t timeout_ms, uint8_t delivery);
  bool IsClosed() const;

 private:
  struct OutFrame {
    std::string own;                            // a response or the greeting
    std::shared_ptr<const std::string> shared;  // a notification, one copy for all its receivers
    uint64_t seq;
    bool notification;
    const std::string& bytes() const { return shared ? *shared : own; }
  };

  using Clock = std::chrono::steady_clock;
  static int64_t NowMs();

  uint64_t PushLocked(std::string frame) REQUIRES(mu_);
  uint64_t PushSharedLocked(std::shared_ptr<const std::string> frame) REQUIRES(mu_);
  uint64_t PushOutLocked(OutFrame out) REQUIRES(mu_);
  void PopFrontLocked() REQUIRES(mu_);
  void DropQueueLocked() REQUIRES(mu_);
  // Counts `bytes` read from the socket against the uid's limit; false (and
  // a notice) when it would pass it.
  bool ChargeRead(size_t bytes) EXCLUDES(mu_);
  // Writes queued frames until the queue is empty or the socket is full.
  void FlushLocked() REQUIRES(mu_);
  void BreakLocked() REQUIRES(mu_);
  // After our own shutdown: has epoll report the hang-up to a handler.
  void ReportHangUpLocked() REQUIRES(mu_);
  uint32_t WantedEventsLocked() const REQUIRES(mu_);
  // Sets the registration to the wanted events; epoll then reports those
  // that are ready.
  void ArmLocked() REQUIRES(mu_);
  // Arms the registration when what the connection waits for changed and no
  // handler is active.
  void UpdateInterestLocked() REQUIRES(mu_);
  void FinishIfDoneLocked() REQUIRES(mu_);
  bool GoneLocked() const REQUIRES(mu_) { return closed_ || broken_; }

  const uint64_t token_;
  const int epoll_fd_;
  const ucred peer_;
  const std::string identity_;
  const std::string channel_;
  // Read without the lock by the handler, which alone closes it; others use
  // it only under mu_ and while !closed_.
  int fd_;
  FrameReader reader_;  // the handler only
  const std::shared_ptr<PeerLimits> limits_;

  // Milliseconds on the steady clock, read by the server's timer without mu_;
  // 0 for "not now".
  std::atomic<int64_t> frame_started_ms_{0};   // a partly received frame began
  std::atomic<int64_t> last_activity_ms_{0};   // bytes read or a request answered
  std::atomic<int64_t> stalled_since_ms_{0};   // the queue has had bytes since, without moving
  std::atomic<uint32_t> in_flight_count_{0};   // in_flight_, for the timer
  std::atomic<bool> keep_{false};

  mutable platform::Mutex mu_;
  platform::CondVar written_cv_;     // frames written, room made, or the connection ended
  bool closed_ GUARDED_BY(mu_) = false;    // socket closed; nothing more is written
  bool broken_ GUARDED_BY(mu_) = false;    // a write failed; a handler will close
  bool handling_ GUARDED_BY(mu_) = false;  // a server thread handles an event
  bool rescan_ GUARDED_BY(mu_) = false;    // an event or unread bytes wait for the handler's end
  bool registered_ GUARDED_BY(mu_) = false;  // in the epoll set
  bool ended_ GUARDED_BY(mu_) = false;     // the client sends no more requests
  bool finishing_ GUARDED_BY(mu_) = false; // shut down after the last answer
  std::deque<OutFrame> queue_ GUARDED_BY(mu_);
  size_t head_written_ GUARDED_BY(mu_) = 0;  // bytes of queue_.front() already on the socket
  size_t queued_bytes_ GUARDED_BY(mu_) = 0;
  size_t queued_notification_bytes_ GUARDED_BY(mu_) = 0;
  size_t charged_ GUARDED_BY(mu_) = 0;  // bytes counted in limits_ for this connection
  uint64_t next_seq_ GUARDED_BY(mu_) = 1;
  uint64_t written_seq_ GUARDED_BY(mu_) = 0;  // frames up to this sequence number are written
  uint32_t in_flight_ GUARDED_BY(mu_) = 0;
  uint32_t registered_events_ GUARDED_BY(mu_) = 0;  // as last registered, without EPOLLET
};

}  // namespace qor_ipc
