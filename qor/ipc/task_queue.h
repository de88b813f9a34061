// Requests waiting for a server thread, in a form that epoll can wait for:
// an eventfd counts the queued tasks, so a thread blocked in epoll_wait wakes
// for a task just as for a socket.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>

#include "platform/mutex.h"

namespace qor_ipc {

// Thread-safe, first in, first out.
class TaskQueue {
 public:
  using Task = std::function<void()>;

  TaskQueue();
  ~TaskQueue();
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Readable while tasks are queued; -1 when it could not be created.
  int fd() const { return fd_; }

  void Push(Task task);
  // Takes the oldest task; false when another thread took the last one first.
  bool TryPop(Task* task);
  // Drops every queued task.
  void Clear();

 private:
  const int fd_;
  platform::Mutex mu_;
  std::deque<Task> tasks_ GUARDED_BY(mu_);
};

}  // namespace qor_ipc
