#include "signal_watcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace host {
namespace {

sigset_t ServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

bool BlockServiceSignals() {
  const sigset_t set = ServiceSignals();
  return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

SignalWatcher::SignalWatcher(Action on_stop, Action on_wake)
    : on_stop_(std::move(on_stop)), on_wake_(std::move(on_wake)) {}

SignalWatcher::~SignalWatcher() {
  Stop();
  if (signal_fd_ >= 0) ::close(signal_fd_);
  if (quit_fd_ >= 0) ::close(quit_fd_);
}

bool SignalWatcher::Start() {
  const sigset_t set = ServiceSignals();
  signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  quit_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (signal_fd_ < 0 || quit_fd_ < 0) return false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void SignalWatcher::Stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  while (::write(quit_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
}

void SignalWatcher::Run() {
  for (;;) {
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {quit_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info{};
    const ssize_t got = ::read(signal_fd_, &info, sizeof info);
    if (got != static_cast<ssize_t>(sizeof info)) continue;
    if (info.ssi_signo == SIGHUP) {
      on_wake_();
    } else {
      on_stop_();
    }
  }
}

}  // namespace host
