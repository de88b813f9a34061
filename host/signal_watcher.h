// Turns the process signals of a service into calls on a thread of its own:
// SIGTERM and SIGINT ask for a stop, SIGHUP for the host's wake event.
//
// BlockServiceSignals must run on the main thread before any other thread
// starts, so that every thread (those of the plug-in included) inherits the
// blocked mask and the signals wait in the process's queue for the watcher.
// Children started later get a clean mask from their launcher.
#pragma once

#include <functional>
#include <thread>

namespace host {

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread. False on failure.
bool BlockServiceSignals();

class SignalWatcher {
 public:
  using Action = std::function<void()>;

  SignalWatcher(Action on_stop, Action on_wake);
  // Stops the thread.
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // Starts watching; false when the descriptors or the thread cannot be made.
  bool Start();
  // Ends the watch; signals after this stay pending (blocked).
  void Stop();

 private:
  void Run();

  const Action on_stop_;
  const Action on_wake_;
  int signal_fd_ = -1;
  int quit_fd_ = -1;  // an eventfd that Stop makes readable
  std::thread thread_;
};

}  // namespace host
