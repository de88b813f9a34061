// The registrations of the push library and the thread that delivers their
// events. A registration is answered with the user's pns id, delivered once on
// the delivery thread; push messages would travel the same road once the
// library talks to a push server.
//
// Thread rules: Register and Unregister may be called from any thread,
// including from inside a callback. Callbacks run only on the delivery thread,
// one at a time, without mutex_ held, so they may call back into the service.
// Unregister waits for a running callback of the same registration (unless it
// is called from that callback), so a caller may free the callback's context
// as soon as Unregister returns.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "platform/thread_annotations.h"
#include "qor/push_api/hv_qor_push_api.h"

namespace qor_push {

class PushService {
 public:
  PushService() = default;
  // Stops and joins the delivery thread; pending deliveries are dropped.
  ~PushService();
  PushService(const PushService&) = delete;
  PushService& operator=(const PushService&) = delete;

  // The service of the library; never destroyed, so that a registration made
  // by a static object elsewhere may still be ended during process exit.
  static PushService& Instance();

  // Starts the delivery thread unless it runs; false when it cannot start.
  bool Start() EXCLUDES(mutex_);

  // Result codes of hv_qor_push_api.h; *handle is 0 on failure.
  uint32_t Register(std::string_view identity, std::string_view user, QorPushApi_Callback callback, void* context,
                    uint32_t* handle) EXCLUDES(mutex_);
  uint32_t Unregister(uint32_t handle) EXCLUDES(mutex_);

  // The stable pns id of `user` (a SID text, any case) for `identity`.
  static std::string PnsIdFor(std::string_view identity, std::string_view user);

 private:
  struct Registration {
    QorPushApi_Callback callback;
    void* context;
    std::string pns_id;
  };

  void DeliveryLoop(std::stop_token stop) EXCLUDES(mutex_);

  std::mutex mutex_;
  // Wakes the delivery thread when pending_ grows (or on stop).
  std::condition_variable_any work_cv_;
  // Wakes Unregister when a callback returns.
  std::condition_variable idle_cv_;
  std::map<uint32_t, Registration> registrations_ GUARDED_BY(mutex_);
  // Registrations whose pns id is still to be delivered, oldest first.
  std::deque<uint32_t> pending_ GUARDED_BY(mutex_);
  uint32_t last_handle_ GUARDED_BY(mutex_) = 0;
  // The registration whose callback runs now, 0 when none.
  uint32_t in_callback_ GUARDED_BY(mutex_) = 0;
  std::thread::id delivery_thread_id_ GUARDED_BY(mutex_);
  // Started by Start; declared last so that it stops before the members it uses go.
  std::optional<std::jthread> thread_ GUARDED_BY(mutex_);
};

}  // namespace qor_push
