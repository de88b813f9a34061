// The threads that run a server's message callbacks.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"

namespace qor_ipc {

// A fixed set of threads taking tasks first in, first out. Post may be called
// from any thread; Stop from any thread but the pool's own.
class WorkerPool {
 public:
  using Task = std::function<void()>;

  // Starts `threads` threads (at least one).
  explicit WorkerPool(size_t threads);
  ~WorkerPool();  // Stop()
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`; false (task dropped) once Stop has begun.
  bool Post(Task task);

  // Drops the tasks not yet started and returns when every thread has
  // finished its current task and ended. Later calls return at once.
  void Stop();

  // True on one of this pool's threads.
  bool OnPoolThread() const;

 private:
  void Run();

  std::mutex mu_;
  std::condition_variable cv_;  // a task was queued, or Stop began
  std::deque<Task> tasks_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  std::vector<std::thread> threads_;  // written by the constructor and Stop only
  std::mutex stop_mu_;                // serialises Stop
};

}  // namespace qor_ipc
