// The client side of the library: one connection to a server, requests from
// any number of threads, notifications delivered on a thread of the client.
//
// Reading (leader/follower): one thread at a time "leads", that is reads the
// socket, hands responses to their requests by id and queues notifications.
// A request that is the only one outstanding when no one leads is led by its
// own calling thread, which reads its answer itself: no hand-over between
// threads, no wake-up of another. Otherwise the caller follows (waits for the
// leader to hand it the answer). The reading thread leads whenever requests
// wait without a leader, and when the connection has been quiet for
// kLeadGrace after a caller let go, so notifications and the end of the
// connection are always seen (at most kLeadGrace late while no one leads).
//
// A notification thread runs the callback, one notification at a time. The
// queue is bounded: while it is full the reading thread waits (a leading
// caller hands the lead to it), so a callback that does not return makes the
// server's sends to this client time out instead of growing memory here.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/mutex.h"
#include "qor/ipc/frame.h"
#include "qor/ipc/hv_qor_ipc.h"

// The C handle is the client itself.
struct HvIpcClient {
  virtual ~HvIpcClient() = default;
};

namespace qor_ipc {

// Notifications waiting for the callback before the reading thread waits.
inline constexpr size_t kMaxQueuedNotifications = 4096;
// How long the reading thread leaves the lead to callers after one let go:
// longer than the gap between one caller's back-to-back requests, short
// enough that a notification arriving meanwhile is still prompt.
inline constexpr std::chrono::milliseconds kLeadGrace{2};

class IpcClient final : public HvIpcClient {
 public:
  static uint32_t Connect(const std::string& identity, const std::string& service, uint32_t timeout_ms,
                          HvIPC_NotificationCallback callback, void* context, IpcClient** client);

  // See HvIPC_ClientRequest; `response` receives the payload on HV_IPC_OK.
  uint32_t Request(uint32_t kind, const uint8_t* bytes, uint32_t count, uint32_t timeout_ms, std::string* response);

  const std::string& channel() const { return channel_; }

  // Disconnects and deletes the client (see HvIPC_ClientClose). Requests
  // waiting at that moment return HV_IPC_DISCONNECTED before the client is
  // freed; no call may begin once Close has.
  void Close();

 private:
  using Clock = std::chrono::steady_clock;
  using Deadline = std::optional<Clock::time_point>;

  // Its fields are guarded by the client's mu_.
  struct Pending {
    platform::CondVar cv;
    bool done = false;
    uint32_t status = HV_IPC_OK;
    std::string payload;
  };
  struct Notification {
    uint32_t kind;
    std::string payload;
  };

  IpcClient(int fd, HvIPC_NotificationCallback callback, void* context);
  ~IpcClient() override;

  static Deadline DeadlineAfter(uint32_t timeout_ms);
  uint32_t WaitForGreeting(Deadline deadline) EXCLUDES(mu_);
  uint32_t DoRequest(uint32_t kind, const uint8_t* bytes, uint32_t count, Deadline deadline, std::string* response);
  // Sends the request and waits for `pending` to be answered.
  uint32_t Exchange(uint32_t kind, const uint8_t* bytes, uint32_t count, Deadline deadline,
                    const std::shared_ptr<Pending>& pending);
  // The calling thread leads until `pending` (request `id`) is answered, the
  // deadline passes or it has to hand the lead to the reading thread.
  uint32_t LeadForAnswer(uint32_t id, const std::shared_ptr<Pending>& pending, Deadline deadline);
  // Waits (on pending->cv) for the leader to answer request `id`.
  uint32_t FollowForAnswerLocked(uint32_t id, const std::shared_ptr<Pending>& pending, Deadline deadline)
      REQUIRES(mu_);
  // The reading thread's wait for the lead; false once the connection ended.
  bool AwaitLeadLocked() REQUIRES(mu_);
  void ReleaseLeadLocked() REQUIRES(mu_);
  enum class Buffered { kDone, kQueueFull, kBroken };
  // The leader handles the complete frames it has buffered. A caller
  // (`may_wait` false) stops at a notification that finds the queue full.
  Buffered HandleBuffered(bool may_wait);
  // Writes one whole frame, waiting for other writers first.
  uint32_t WriteFrame(const std::string& frame, Deadline deadline) EXCLUDES(write_mu_);
  uint32_t WriteWhole(const std::string& frame, Deadline deadline);
  void ReadLoop();
  // A response or the greeting; false when the frame breaks the protocol.
  bool HandleFrame(Frame& frame);
  // A notification frame: false when it breaks the protocol; `note` stays
  // empty when there is no callback to run.
  bool TakeNotification(Frame& frame, std::optional<Notification>* note);
  void EndConnection();
  // False (and `note` kept) when the queue is full and `may_wait` is false.
  bool QueueNotification(Notification& note, bool may_wait = true) EXCLUDES(note_mu_);
  void NotifyLoop();
  void Teardown();

  const int fd_;
  const HvIPC_NotificationCallback callback_;
  void* const context_;
  std::string channel_;  // set once by the reading thread before greeted_, then read-only

  platform::Mutex mu_;
  platform::CondVar greeted_cv_;  // greeting arrived or connection ended
  platform::CondVar idle_cv_;     // a request call returned
  platform::CondVar lead_cv_;     // the lead is free, or the connection ended
  bool greeted_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;
  int active_requests_ GUARDED_BY(mu_) = 0;  // Request calls in progress
  uint32_t next_id_ GUARDED_BY(mu_) = 1;
  // Shared with the reading thread, which wakes the requester after letting
  // go of mu_ (so that the requester does not wake into a held lock).
  std::unordered_map<uint32_t, std::shared_ptr<Pending>> pending_ GUARDED_BY(mu_);
  enum class Leader { kNone, kReader, kCaller };
  Leader leader_ GUARDED_BY(mu_) = Leader::kNone;  // the reading thread takes it first, for the greeting
  Clock::time_point released_at_ GUARDED_BY(mu_);    // when a caller last let go of the lead
  bool reader_parked_ GUARDED_BY(mu_) = false;       // waits for a release without a time limit
  bool lead_offered_ GUARDED_BY(mu_) = false;        // the reading thread answered a request since it took the lead

  // The leader's own: what was read and not yet handled, and a notification
  // a caller read but could not queue (the reading thread queues it first).
  FrameReader frames_;
  std::string read_buffer_;
  std::optional<Notification> held_note_;

  // One frame at a time on the socket: a writer holds the socket while
  // writing_ is set, others wait (with their deadline) on write_cv_.
  platform::Mutex write_mu_;
  platform::CondVar write_cv_;
  bool writing_ GUARDED_BY(write_mu_) = false;

  platform::Mutex note_mu_;
  platform::CondVar note_cv_;     // a notification was queued, or stop
  platform::CondVar room_cv_;     // the queue has room, or stop
  std::deque<Notification> notes_ GUARDED_BY(note_mu_);
  bool note_stop_ GUARDED_BY(note_mu_) = false;

  std::atomic<bool> closing_{false};
  bool close_in_callback_ = false;  // notification thread only
  std::thread reader_;
  std::thread notifier_;
};

}  // namespace qor_ipc
