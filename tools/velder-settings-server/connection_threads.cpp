#include "connection_threads.h"

#include <sys/socket.h>

namespace settings_server {
namespace {

platform::Mutex g_socketsMutex;  // guards g_sockets
std::set<int> g_sockets GUARDED_BY(g_socketsMutex);
thread_local int t_socket = -1;

void ForgetThreadSocket() {
  if (t_socket < 0) return;
  platform::MutexLock lock(g_socketsMutex);
  g_sockets.erase(t_socket);
  t_socket = -1;
}

}  // namespace

void ConnectionThreads::RegisterSocket(int fd) {
  platform::MutexLock lock(g_socketsMutex);
  if (t_socket >= 0) g_sockets.erase(t_socket);
  t_socket = fd;
  g_sockets.insert(fd);
}

void ConnectionThreads::ShutdownAllSockets() {
  platform::MutexLock lock(g_socketsMutex);
  for (int fd : g_sockets) ::shutdown(fd, SHUT_RDWR);
}

void ConnectionThreads::enqueue(std::function<void()> task) {
  std::vector<std::thread> done;
  {
    platform::MutexLock lock(mutex_);
    done.swap(finished_);
    if (running_ >= maxThreads_) {
      pending_.push_back(std::move(task));
    } else {
      ++running_;
      threads_.emplace_back();
      auto self = std::prev(threads_.end());
      *self = std::thread(&ConnectionThreads::Run, this, std::move(task), self);
    }
  }
  for (std::thread& t : done) t.join();
}

void ConnectionThreads::Run(std::function<void()> task, std::list<std::thread>::iterator self) {
  for (;;) {
    task();
    ForgetThreadSocket();
    platform::MutexLock lock(mutex_);
    if (pending_.empty()) {
      --running_;
      // The thread object moves to the join list; the thread itself ends
      // right after this lock is released.
      finished_.push_back(std::move(*self));
      threads_.erase(self);
      idle_.NotifyAll();
      return;
    }
    task = std::move(pending_.front());
    pending_.pop_front();
  }
}

void ConnectionThreads::shutdown() {
  std::vector<std::thread> done;
  {
    platform::MutexLock lock(mutex_);
    while (running_ != 0) idle_.Wait(mutex_);
    done.swap(finished_);
  }
  for (std::thread& t : done) t.join();
}

}  // namespace settings_server
