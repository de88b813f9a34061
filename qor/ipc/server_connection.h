// One client connection of a server: the socket, the client's credentials,
// its channel name and its write queue.
//
// The server's threads all wait on one epoll set in which the socket is
// registered one-shot: the thread that receives an event "handles" the
// connection (reads it, closes it) alone, between BeginHandling and
// EndHandling, and EndHandling arms the registration again. Writing may
// happen on any thread: a callback's response, HvIPC_Send's notification, a
// handler when the socket has room again. Whoever queues a frame writes at
// once as much as the socket takes without blocking; the rest waits in a
// bounded queue for the socket to drain. So a client that does not read only
// ever delays writers to itself, and only up to their time-out.
//
// Only a handler (or Stop, after the server's threads ended) closes the
// socket; other threads that meet a broken socket shut it down, which makes
// the next event a hang-up for a handler to close.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"
#include "qor/ipc/frame.h"

namespace qor_ipc {

// Queued bytes above which HvIPC_Send waits for room and the connection's
// requests are no longer read (responses are always queued, so their total
// is bounded by the number of requests read).
inline constexpr size_t kMaxQueuedBytes = 8u * 1024 * 1024;
// Requests of one connection in the pool or running before reading pauses.
inline constexpr uint32_t kMaxRequestsInFlight = 64;

class ServerConnection {
 public:
  // Takes ownership of `fd` (non-blocking). `token` is the connection's epoll key.
  ServerConnection(int fd, int epoll_fd, uint64_t token, const ucred& peer, std::string identity,
                   std::string channel);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  uint64_t token() const { return token_; }
  const std::string& identity() const { return identity_; }
  const std::string& channel() const { return channel_; }
  uid_t uid() const { return peer_.uid; }

  // Adds the socket to the epoll set. Frames queued before (the greeting)
  // go out first; nothing is read before this.
  bool Register();
  // Shuts the socket down: waiting senders return, answers still to come are
  // dropped, and the next event closes the connection.
  void Abort();

  // A server thread received an event for the connection. False when another
  // thread handles it already (the event was delivered twice because a writer
  // re-armed the registration meanwhile) or it is closed: then nothing is to
  // be done, the other handler arms the registration when it ends.
  bool BeginHandling();
  // Arms the registration again for what the connection now waits for.
  void EndHandling();

  // ---- The handler only.

  enum class ReadOutcome { kOpen, kEnd, kError };
  // Reads what the socket has (up to a fair share) and appends the complete
  // frames. kEnd: the client closed its sending side between frames; kError:
  // garbage, a truncated frame or a failed read.
  ReadOutcome ReadAvailable(std::vector<Frame>* frames);
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
  // A request is finished; `response` is its frame, or empty when none is sent.
  void RequestDone(std::string response);
  // Writes a notification frame (HvIPC_Send), see hv_qor_ipc.h for the results.
  uint32_t Send(std::string frame, uint32_t timeout_ms, bool wait_for_write);
  bool IsClosed() const;

 private:
  struct OutFrame {
    std::string bytes;
    uint64_t seq;
  };

  uint64_t PushLocked(std::string frame) REQUIRES(mu_);
  // Writes queued frames until the queue is empty or the socket is full.
  void FlushLocked() REQUIRES(mu_);
  void BreakLocked() REQUIRES(mu_);
  uint32_t WantedEventsLocked() const REQUIRES(mu_);
  // (Re-)arms the one-shot registration for the wanted events.
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

  mutable std::mutex mu_;
  std::condition_variable written_cv_;     // frames written, room made, or the connection ended
  bool closed_ GUARDED_BY(mu_) = false;    // socket closed; nothing more is written
  bool broken_ GUARDED_BY(mu_) = false;    // a write failed; a handler will close
  bool handling_ GUARDED_BY(mu_) = false;  // a server thread handles an event
  bool registered_ GUARDED_BY(mu_) = false;  // in the epoll set
  bool ended_ GUARDED_BY(mu_) = false;     // the client sends no more requests
  bool finishing_ GUARDED_BY(mu_) = false; // shut down after the last answer
  std::deque<OutFrame> queue_ GUARDED_BY(mu_);
  size_t head_written_ GUARDED_BY(mu_) = 0;  // bytes of queue_.front() already on the socket
  size_t queued_bytes_ GUARDED_BY(mu_) = 0;
  uint64_t next_seq_ GUARDED_BY(mu_) = 1;
  uint64_t written_seq_ GUARDED_BY(mu_) = 0;  // frames up to this sequence number are written
  uint32_t in_flight_ GUARDED_BY(mu_) = 0;
  uint32_t registered_events_ GUARDED_BY(mu_) = 0;  // as last armed, without EPOLLONESHOT
};

}  // namespace qor_ipc
