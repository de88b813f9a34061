// The logger of this platform: filters by level, formats one line per
// message and hands it to standard error (when "DebugOutputLogging" is on)
// and to the process's log file (logging/file_context.h).
//
// The configuration is re-read at the first log call more than a minute
// after the previous read, so a changed "LogLevel" takes effect without a
// restart. A filtered call costs one tick-count read and one comparison.
//
// Threads: any thread may call anything at any time. The threshold, the
// debug-output flag and the time of the last refresh are atomics read
// without the lock; mutex_ guards the file context and the refresh, which
// runs once for concurrent callers. Messages are formatted outside the lock.
// A log call made from inside the logger's own work (by code the refresh or
// an append calls) is dropped instead of deadlocking.
//
// No operation reports failure, throws, or changes errno.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "logging/file_context.h"
#include "logging/logger.h"
#include "platform/mutex.h"

namespace HvQorLogging {

class LoggerPosix : public Logger {
 public:
  static constexpr uint64_t kRefreshIntervalMs = 60000;
  // A message gets this many bytes, terminator included, before the larger
  // buffer is tried; a message that does not fit the larger one is replaced
  // by a failure line.
  static constexpr size_t kFirstBufferSize = 2048;
  static constexpr size_t kSecondBufferSize = 65536;

  LoggerPosix();
  // Writes the auto-closed banner.
  ~LoggerPosix() override;

  void Open(std::string_view identity, std::string_view framework, std::string_view component, int level,
            uint32_t options) override;
  // Writes the end banner and drops the file context; Open may follow.
  void Close() override;
  void Flush() override;
  void WriteV(int level, const char* source, fmt::string_view format, fmt::format_args args) noexcept override;
  // Refreshes the configuration when it is more than a minute old.
  bool IsFiltered(int level) final;

  // The file context for Open.
  virtual std::unique_ptr<FileContext> CreateFileContext(std::string_view identity, std::string_view framework,
                                                         std::string_view component, int level, uint32_t options);

  // Writes the auto-closed banner and drops the file context, leaving the
  // object usable: what is logged afterwards reaches standard error only.
  void AutoClose();

  // fork() handlers of the process-wide instance: the child must not inherit
  // a lock held by a thread that does not exist there, nor share the
  // parent's cross-process lock.
  void PrepareFork() NO_THREAD_SAFETY_ANALYSIS;
  void ParentAfterFork() NO_THREAD_SAFETY_ANALYSIS;
  void ChildAfterFork() NO_THREAD_SAFETY_ANALYSIS;

  bool debug_output() const { return debug_output_.load(std::memory_order_relaxed); }

 private:
  bool RefreshAndFilter(int level);
  // True when it opened the file: the caller then writes the start banner,
  // with the lock released (writing takes it).
  bool RefreshLocked() REQUIRES(mutex_);
  void WriteStartBanner();
  void WriteBanner(std::string_view text);
  void WriteTooLargeFailure(fmt::string_view format, int64_t now_ms);
  // Builds the line and delivers it to standard error and the file.
  void Deliver(int level, const char* source, std::string_view message, int64_t now_ms);

  std::atomic<bool> debug_output_{false};
  std::atomic<uint32_t> options_{0};
  // Tick count of the last configuration refresh; 0: never.
  std::atomic<uint64_t> last_refresh_{0};
  // Guards file_context_ and the configuration refresh.
  platform::Mutex mutex_;
  std::unique_ptr<FileContext> file_context_ GUARDED_BY(mutex_);
};

}  // namespace HvQorLogging
