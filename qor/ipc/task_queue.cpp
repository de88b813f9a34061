#include "qor/ipc/task_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace qor_ipc {

// A semaphore: each read takes one task's count, so that several threads
// woken together do not take the same task.
TaskQueue::TaskQueue() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {}

TaskQueue::~TaskQueue() {
  if (fd_ >= 0) ::close(fd_);
}

void TaskQueue::Push(Task task) {
  {
    platform::MutexLock lock(mu_);
    tasks_.push_back(std::move(task));
  }
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof(one));
}

bool TaskQueue::TryPop(Task* task) {
  uint64_t count = 0;
  if (::read(fd_, &count, sizeof(count)) != sizeof(count)) return false;
  platform::MutexLock lock(mu_);
  if (tasks_.empty()) return false;  // cleared meanwhile
  *task = std::move(tasks_.front());
  tasks_.pop_front();
  return true;
}

void TaskQueue::Clear() {
  std::deque<Task> dropped;
  {
    platform::MutexLock lock(mu_);
    dropped.swap(tasks_);
  }
  uint64_t count = 0;
  while (::read(fd_, &count, sizeof(count)) == sizeof(count)) {
  }
}

}  // namespace qor_ipc
