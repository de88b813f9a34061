// The lock that serialises appends, rotation and flushes of one log file
// between all processes that write it.
//
// Shared form: flock on a lock file beside the log ("<prefix>.lock"). It was
// chosen over a mutex in shared memory because it is as robust as the
// processes are: the kernel releases it when its holder dies (there is no
// "abandoned" state to repair, and no half-initialised shared object a
// crashed creator can leave behind), and it lives inside the log directory,
// so only those who may use that directory can take it - no other user can
// squat on a global name or scribble over a mutex that root processes wait
// on. flock has no time-out, so Acquire polls with growing pauses (50 us to
// 2 ms) up to its limit; a line takes microseconds to append, so a waiter
// finds the lock free long before the limit.
//
// An flock belongs to an open file description, which a forked child shares
// with its parent; DropAfterFork makes the child open its own.
//
// Private form (initialisation option 0x01): a mutex of this process only.
//
// Used by one thread at a time (the file context's, under the logger's lock).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/mutex.h"

namespace HvQorLogging {

class LogFileLock {
 public:
  // A lock shared with every process that names the same `path`; the lock
  // file is created with mode 0600 (exactly, with `exact_mode`).
  static std::unique_ptr<LogFileLock> Shared(std::string path, bool exact_mode);
  // A lock private to this process.
  static std::unique_ptr<LogFileLock> Private();

  ~LogFileLock();
  LogFileLock(const LogFileLock&) = delete;
  LogFileLock& operator=(const LogFileLock&) = delete;

  enum class Result {
    kAcquired,
    kTimedOut,
    kUnavailable,  // the lock file cannot be opened (its directory is gone)
  };
  // Waits at most `timeout` (real time) for the lock.
  Result TryAcquire(std::chrono::milliseconds timeout);
  bool Acquire(std::chrono::milliseconds timeout) { return TryAcquire(timeout) == Result::kAcquired; }
  void Release();
  // In a child process after fork: forgets the parent's open lock file
  // without releasing the parent's lock.
  void DropAfterFork();

  // The lock file, empty for the private form.
  const std::string& path() const { return path_; }

 private:
  LogFileLock(std::string path, bool exact_mode);
  bool OpenLockFile();
  bool StillAtPath() const;
  void CloseLockFile();

  const std::string path_;
  const bool exact_mode_;
  int fd_ = -1;
  // The private form: private_mutex_ guards private_held_.
  platform::Mutex private_mutex_;
  platform::CondVar private_released_;
  bool private_held_ GUARDED_BY(private_mutex_) = false;
};

}  // namespace HvQorLogging
