#include "qor/ipc/worker_pool.h"

namespace qor_ipc {
namespace {

// The pool whose thread this is, so that Stop can refuse to join itself.
thread_local const WorkerPool* tls_pool = nullptr;

}  // namespace

WorkerPool::WorkerPool(size_t threads) {
  if (threads == 0) threads = 1;
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

WorkerPool::~WorkerPool() { Stop(); }

bool WorkerPool::Post(Task task) {
  {
    std::lock_guard lock(mu_);
    if (stopping_) return false;
    tasks_.push_back(std::move(task));
  }
  cv_.notify_one();
  return true;
}

void WorkerPool::Stop() {
  std::lock_guard stop_lock(stop_mu_);
  std::deque<Task> dropped;
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    dropped.swap(tasks_);
  }
  cv_.notify_all();
  // Destroyed outside the lock: a task may own things whose destructors post.
  dropped.clear();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

bool WorkerPool::OnPoolThread() const { return tls_pool == this; }

void WorkerPool::Run() {
  tls_pool = this;
  while (true) {
    Task task;
    {
      std::unique_lock lock(mu_);
      while (!stopping_ && tasks_.empty()) cv_.wait(lock);
      if (stopping_) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
  tls_pool = nullptr;
}

}  // namespace qor_ipc
