// One registration's stream connection and its thread (see push_service.h).
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "qor/push_api/hv_qor_push_api.h"

namespace qor_push {

class PushService;

class PushConnection : public std::enable_shared_from_this<PushConnection> {
 public:
  // How the first connection went, for Register.
  enum class FirstOutcome { kPending, kConnected, kRefused, kFailed };

  PushConnection(PushService& service, std::string user, QorPushApi_Callback callback, void* context);
  // The thread holds the connection while it runs, so the last holder may be
  // the thread itself (Unregister from inside a callback).
  ~PushConnection();
  PushConnection(const PushConnection&) = delete;
  PushConnection& operator=(const PushConnection&) = delete;

  // Starts the thread; false when it cannot run.
  bool Start();
  // Waits for the thread to end (after Stop); nothing on the thread itself.
  void Join();
  // Waits up to `timeout_ms` for the first connection's outcome.
  FirstOutcome WaitFirstOutcome(int timeout_ms) EXCLUDES(mutex_);
  // Asks the thread to end soon (wakes a wait or a transfer).
  void Stop() EXCLUDES(mutex_);
  bool OnOwnThread() const { return std::this_thread::get_id() == thread_.get_id(); }

  // Seconds of silence after which a connection counts as dead.
  static constexpr long kSilenceLimit = 45;

 private:
  enum class Attempt { kEnded, kRefused, kUnauthorized, kFailed, kStopped };

  void Run();
  Attempt Connect(const std::string& url, const std::string& token, const std::string& installation_root);
  void Feed(const char* data, size_t size);
  void Dispatch();
  void ReportFirst(FirstOutcome outcome) EXCLUDES(mutex_);
  // Sleeps up to `ms` or until Stop; false when stopped.
  bool Sleep(long ms) EXCLUDES(mutex_);

  static size_t OnData(char* data, size_t size, size_t count, void* self);

  PushService& service_;
  const std::string user_;
  const QorPushApi_Callback callback_;
  void* const context_;

  std::atomic<bool> stopping_{false};
  platform::Mutex mutex_;
  platform::CondVar cv_;
  FirstOutcome first_ GUARDED_BY(mutex_) = FirstOutcome::kPending;
  CURLM* multi_ GUARDED_BY(mutex_) = nullptr;  // the running transfer's, for curl_multi_wakeup

  // Used by the thread only.
  CURL* easy_ = nullptr;    // the running transfer
  std::string buffer_;      // bytes not yet split into lines
  std::string event_;       // the current event's type
  std::string data_;        // the current event's data
  bool delivered_ = false;  // this connection delivered an event
  std::chrono::steady_clock::time_point last_data_;  // of this connection; its own thread only
  std::mt19937 random_{std::random_device{}()};

  std::thread thread_;
};

}  // namespace qor_push
