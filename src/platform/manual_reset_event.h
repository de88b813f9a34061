// A manual-reset event: once set it stays set, waking every waiter, until it
// is reset. Built on an eventfd so that it can be waited for together with
// other descriptors (poll, curl_multi_poll).
#pragma once

#include <chrono>
#include <initializer_list>

namespace platform {

class ManualResetEvent {
 public:
  ManualResetEvent();
  ~ManualResetEvent();
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  // Thread-safe; setting a set event does nothing.
  void Set();
  void Reset();
  bool IsSet() const;

  // Waits until the event is set or `timeout` passes; a negative timeout waits
  // for ever. Returns true when the event is set.
  bool Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1)) const;

  // The descriptor is readable exactly while the event is set.
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Returned by WaitForAny when the time-out passed with no event set.
inline constexpr int kWaitTimeout = -1;

// Waits until one of `events` is set and returns the index of the first set
// one (lowest index wins when several are), or kWaitTimeout. A negative timeout
// waits for ever. Interrupted waits resume with the remaining time.
int WaitForAny(std::initializer_list<const ManualResetEvent*> events, std::chrono::milliseconds timeout);

}  // namespace platform
