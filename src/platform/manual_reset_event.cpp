#include "platform/manual_reset_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

// Polls `fds` for readability, resuming after signals with the time left.
int PollReadable(std::vector<pollfd>& fds, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const bool forever = timeout.count() < 0;
  const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
  for (;;) {
    int wait_ms = -1;
    if (!forever) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait_ms = left.count() < 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
    }
    const int n = ::poll(fds.data(), fds.size(), wait_ms);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

ManualResetEvent::ManualResetEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // Without the descriptor no wait could ever end; there is no sane way on.
  if (fd_ < 0) std::abort();
}

ManualResetEvent::~ManualResetEvent() { ::close(fd_); }

void ManualResetEvent::Set() {
  // The counter only needs to be non-zero; adding 1 to an already set event is
  // harmless until the counter would overflow, which takes 2^64 sets.
  const uint64_t one = 1;
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void ManualResetEvent::Reset() {
  uint64_t value;
  while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool ManualResetEvent::IsSet() const { return Wait(std::chrono::milliseconds(0)); }

bool ManualResetEvent::Wait(std::chrono::milliseconds timeout) const {
  return WaitForAny({this}, timeout) == 0;
}

int WaitForAny(std::initializer_list<const ManualResetEvent*> events, std::chrono::milliseconds timeout) {
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (const ManualResetEvent* e : events) fds.push_back({e->fd(), POLLIN, 0});
  if (PollReadable(fds, timeout) <= 0) return kWaitTimeout;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents & POLLIN) return static_cast<int>(i);
  }
  return kWaitTimeout;
}

}  // namespace platform
