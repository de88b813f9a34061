// The task queue of the HTTPS listener: one thread per connection. A push
// stream holds its connection (and so its thread) for as long as the client is
// connected, so a fixed pool would let a few hundred idle streams starve every
// other request. Beyond `maxThreads` connections wait for a free thread.
//
// The sockets of the connections being served are registered (by the TLS
// handshake callback, on the connection's own thread) so that a stop can shut
// them down at once instead of waiting for idle keep-alive connections to time
// out.
//
// Thread-safe; httplib calls enqueue from its accept thread and shutdown when
// the listener ends.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <set>
#include <thread>

#include "platform/mutex.h"

namespace settings_server {

class ConnectionThreads : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(size_t maxThreads) : maxThreads_(maxThreads) {}
  ~ConnectionThreads() override { shutdown(); }

  void enqueue(std::function<void()> task) override;
  // Runs what is queued and waits for every connection thread.
  void shutdown() override;

  // Called on a connection's thread with its socket.
  static void RegisterSocket(int fd);
  // Shuts down every registered socket (both directions): their threads then
  // see the connection end.
  static void ShutdownAllSockets();

 private:
  void Run(std::function<void()> task, std::list<std::thread>::iterator self) EXCLUDES(mutex_);

  const size_t maxThreads_;
  platform::Mutex mutex_;  // guards every member below
  platform::CondVar idle_;
  std::deque<std::function<void()>> pending_ GUARDED_BY(mutex_);
  std::list<std::thread> threads_ GUARDED_BY(mutex_);
  std::vector<std::thread> finished_ GUARDED_BY(mutex_);  // to be joined
  size_t running_ GUARDED_BY(mutex_) = 0;
};

}  // namespace settings_server
