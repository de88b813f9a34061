#include "logging/log_file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace HvQorLogging {
namespace {

constexpr mode_t kLockFileMode = 0600;
constexpr auto kFirstPause = std::chrono::microseconds(50);
constexpr auto kLongestPause = std::chrono::microseconds(2000);

}  // namespace

std::unique_ptr<LogFileLock> LogFileLock::Shared(std::string path, bool exact_mode) {
  return std::unique_ptr<LogFileLock>(new LogFileLock(std::move(path), exact_mode));
}

std::unique_ptr<LogFileLock> LogFileLock::Private() { return std::unique_ptr<LogFileLock>(new LogFileLock("", false)); }

LogFileLock::LogFileLock(std::string path, bool exact_mode) : path_(std::move(path)), exact_mode_(exact_mode) {}

LogFileLock::~LogFileLock() { CloseLockFile(); }

void LogFileLock::CloseLockFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void LogFileLock::DropAfterFork() {
  // close, never LOCK_UN: the description is still the parent's.
  CloseLockFile();
}

bool LogFileLock::OpenLockFile() {
  // The lock file lives in our own log directory; anything planted there in
  // its place (a link, a FIFO, a second name of another file) is removed and
  // a fresh file made, once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool created = true;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK,
                    kLockFileMode);
    if (fd < 0 && errno == EEXIST) {
      created = false;
      fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    }
    if (fd < 0) {
      if (errno == ELOOP && ::unlink(path_.c_str()) == 0) continue;
      if (errno == ENOENT) continue;  // removed between the two opens
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
      if (created && exact_mode_) ::fchmod(fd, kLockFileMode);
      fd_ = fd;
      return true;
    }
    ::close(fd);
    if (::unlink(path_.c_str()) != 0) return false;
  }
  return false;
}

bool LogFileLock::StillAtPath() const {
  // Removing the lock file, or renaming another over it, leaves our file
  // without a name; one fstat tells.
  struct stat st {};
  return ::fstat(fd_, &st) == 0 && st.st_nlink > 0;
}

LogFileLock::Result LogFileLock::TryAcquire(std::chrono::milliseconds timeout) {
  if (path_.empty()) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    platform::MutexLock lock(private_mutex_);
    while (private_held_) {
      if (!private_released_.WaitUntil(private_mutex_, deadline) && private_held_) return Result::kTimedOut;
    }
    private_held_ = true;
    return Result::kAcquired;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::duration_cast<std::chrono::microseconds>(kFirstPause);
  for (;;) {
    if (fd_ < 0 && !OpenLockFile()) return Result::kUnavailable;
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      // A lock on a file that was removed or replaced excludes nobody.
      if (StillAtPath()) return Result::kAcquired;
      CloseLockFile();
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EWOULDBLOCK) {
      return Result::kUnavailable;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Result::kTimedOut;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::duration_cast<std::chrono::microseconds>(kLongestPause));
  }
}

void LogFileLock::Release() {
  if (path_.empty()) {
    {
      platform::MutexLock lock(private_mutex_);
      private_held_ = false;
    }
    private_released_.NotifyOne();
    return;
  }
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

}  // namespace HvQorLogging
