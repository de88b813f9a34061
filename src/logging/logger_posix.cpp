#include "logging/logger_posix.h"

#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "logging/log.h"
#include "logging/log_line.h"
#include "logging/source_name.h"
#include "platform/clock.h"

namespace HvQorLogging {
namespace {

// The longest part of a format quoted in the failure line that replaces a
// too large message.
constexpr size_t kQuotedFormatLimit = 2000;
constexpr uint32_t kUnknownSession = 0xDEADBEEF;

// Set while this thread works inside the logger's lock.
thread_local bool t_inside_logger = false;

// Process and thread id of the calling thread, asked once per thread; a
// fork makes every cached pair stale.
std::atomic<uint32_t> g_fork_generation{0};

struct ThreadIds {
  uint32_t process = 0, thread = 0, generation = UINT32_MAX;
};

const ThreadIds& CurrentIds() {
  static const bool registered = [] {
    return ::pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1); }) == 0;
  }();
  thread_local ThreadIds ids;
  const uint32_t generation = g_fork_generation.load(std::memory_order_relaxed);
  if (ids.generation != generation || !registered) {
    ids.process = static_cast<uint32_t>(::getpid());
    ids.thread = static_cast<uint32_t>(::gettid());
    ids.generation = generation;
  }
  return ids;
}

class InsideLogger {
 public:
  InsideLogger() { t_inside_logger = true; }
  ~InsideLogger() { t_inside_logger = false; }
};

class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }

 private:
  int saved_;
};

// Standard error takes the place of a debugger's output; one writev keeps
// the line whole among other writers.
void WriteDebugOutput(std::string_view line) {
  if (line.ends_with("\r\n")) line.remove_suffix(2);
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
  while (::writev(STDERR_FILENO, parts, 2) < 0 && errno == EINTR) {
  }
}

// The longest prefix of `text` of at most `limit` bytes that does not end
// inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

LoggerPosix::LoggerPosix() = default;

LoggerPosix::~LoggerPosix() { AutoClose(); }

std::unique_ptr<FileContext> LoggerPosix::CreateFileContext(std::string_view identity, std::string_view framework,
                                                            std::string_view component, int level, uint32_t options) {
  return std::make_unique<FileContext>(std::make_unique<FileSystem::Path>(), std::string(identity),
                                       std::string(framework), std::string(component), level, options);
}

void LoggerPosix::Open(std::string_view identity, std::string_view framework, std::string_view component, int level,
                       uint32_t options) {
  ErrnoKeeper keep_errno;
  if (t_inside_logger) return;
  try {
    bool opened = false;
    {
      platform::MutexLock lock(mutex_);
      if (file_context_) return;
      options_.store(options);
      file_context_ = CreateFileContext(identity, framework, component, level, options);
      if (options & kOptionNoInitialRefresh) {
        threshold_.exchange(kVerbose);
        debug_output_.store(false);
        last_refresh_.store(0);  // the first log call refreshes
        return;
      }
      threshold_.exchange(level);
      opened = RefreshLocked();
    }
    if (opened) WriteStartBanner();
  } catch (...) {
    // Out of memory: the process stays without a log.
  }
}

void LoggerPosix::Close() {
  ErrnoKeeper keep_errno;
  if (t_inside_logger) return;
  WriteBanner(kEndBanner);
  platform::MutexLock lock(mutex_);
  file_context_.reset();
  last_refresh_.store(0);
}

void LoggerPosix::AutoClose() {
  ErrnoKeeper keep_errno;
  if (t_inside_logger) return;
  WriteBanner(kAutoClosedBanner);
  platform::MutexLock lock(mutex_);
  file_context_.reset();
  last_refresh_.store(0);
}

void LoggerPosix::Flush() {
  ErrnoKeeper keep_errno;
  if (t_inside_logger) return;
  platform::MutexLock lock(mutex_);
  if (file_context_) {
    InsideLogger inside;
    file_context_->Flush();
  }
}

bool LoggerPosix::IsFiltered(int level) {
  const uint64_t now = platform::CurrentClock().TickCountMs();
  const uint64_t last = last_refresh_.load(std::memory_order_acquire);
  if (last != 0 && now - last <= kRefreshIntervalMs) return level > threshold_.load(std::memory_order_relaxed);
  return RefreshAndFilter(level);
}

bool LoggerPosix::RefreshAndFilter(int level) {
  if (!t_inside_logger) {
    ErrnoKeeper keep_errno;
    try {
      bool opened = false;
      {
        platform::MutexLock lock(mutex_);
        const uint64_t now = platform::CurrentClock().TickCountMs();
        const uint64_t last = last_refresh_.load(std::memory_order_acquire);
        if (last == 0 || now - last > kRefreshIntervalMs) opened = RefreshLocked();
      }
      if (opened) WriteStartBanner();
    } catch (...) {
    }
  }
  return level > threshold_.load(std::memory_order_relaxed);
}

bool LoggerPosix::RefreshLocked() {
  // Picks up a changed time zone, as the time stamps are local.
  ::tzset();
  bool opened = false;
  if (file_context_) {
    InsideLogger inside;
    opened = file_context_->Open();
    debug_output_.store(file_context_->GetDebugOutput());
    threshold_.exchange(file_context_->GetLogLevel());
  }
  last_refresh_.store(platform::CurrentClock().TickCountMs(), std::memory_order_release);
  return opened;
}

void LoggerPosix::WriteStartBanner() {
  const uint32_t options = options_.load();
  const int level = BannerLevel(options);
  if (IsFiltered(level)) return;
  const pid_t session = ::getsid(0);
  long offset_minutes = kUnknownOffsetMinutes;
  {
    platform::MutexLock lock(mutex_);  // see Deliver
    const LogTime local = BreakDownTime(platform::CurrentClock().NowMilliseconds(), false);
    if (local.valid) offset_minutes = local.utc_offset_seconds / 60;
    if (file_context_) {
      InsideLogger inside;
      file_context_->AppendLine("\r\n");
    }
  }
  const std::string text = StartBannerText(
      offset_minutes, session < 0 ? kUnknownSession : static_cast<uint32_t>(session), options & kOptionUtcTimestamps);
  WriteBanner(text);
}

void LoggerPosix::WriteBanner(std::string_view text) {
  WriteV(BannerLevel(options_.load()), nullptr, "{}", fmt::make_format_args(text));
}

void LoggerPosix::WriteV(int level, const char* source, fmt::string_view format, fmt::format_args args) noexcept {
  ErrnoKeeper keep_errno;
  try {
    if (IsFiltered(level)) return;
    const int64_t now_ms = platform::CurrentClock().NowMilliseconds();
    char first[kFirstBufferSize];
    const auto formatted = fmt::vformat_to_n(first, sizeof first - 1, format, args);
    if (formatted.size < kFirstBufferSize) {
      Deliver(level, source, std::string_view(first, formatted.size), now_ms);
    } else if (formatted.size < kSecondBufferSize) {
      std::string second(formatted.size, '\0');
      const auto again = fmt::vformat_to_n(second.data(), second.size(), format, args);
      second.resize(std::min(again.size, second.size()));
      Deliver(level, source, second, now_ms);
    } else {
      WriteTooLargeFailure(format, now_ms);
    }
  } catch (const fmt::format_error& e) {
    // Only a format given at run time can get here; the macros check theirs
    // when compiling.
    try {
      if (!IsFiltered(kError)) {
        const std::string text = fmt::format("HV_QOR_LOG failure: invalid format ({}). Format: {}", e.what(),
                                             CutUtf8(std::string_view(format.data(), format.size()), kQuotedFormatLimit));
        Deliver(kError, nullptr, text, platform::CurrentClock().NowMilliseconds());
      }
    } catch (...) {
    }
  } catch (...) {
    // Out of memory: the line is lost.
  }
}

void LoggerPosix::WriteTooLargeFailure(fmt::string_view format, int64_t now_ms) {
  if (IsFiltered(kError)) return;
  const std::string_view whole(format.data(), format.size());
  const std::string_view quoted = CutUtf8(whole, kQuotedFormatLimit);
  // A format that is itself huge is quoted in part, so that the failure line
  // can never be too large in turn.
  const std::string text = fmt::format("HV_QOR_LOG failure: too large message. Format: {}{}", quoted,
                                       quoted.size() < whole.size() ? "..." : "");
  Deliver(kError, nullptr, text, now_ms);
}

void LoggerPosix::Deliver(int level, const char* source, std::string_view message, int64_t now_ms) {
  const uint32_t options = options_.load();
  const std::string prepared = source ? PrepareSource(ReduceFunctionSignature(source)) : std::string();
  const ThreadIds& ids = CurrentIds();
  fmt::memory_buffer line;
  // The time is broken down under the logger's lock: the C library's time
  // zone lock, taken for that, is not reset in a forked child, and no thread
  // may hold it while another forks (the fork handlers take our lock).
  const auto compose = [&] {
    AppendLogLine(line, BreakDownTime(now_ms, options & kOptionUtcTimestamps), ids.process, ids.thread,
                  LevelTag(level), prepared, message);
  };
  const bool debug_output = debug_output_.load(std::memory_order_relaxed);
  if (t_inside_logger) {
    // Called from inside the logger, which already holds the lock; the line
    // goes to the debug output only.
    compose();
    if (debug_output) WriteDebugOutput(std::string_view(line.data(), line.size()));
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    compose();
    if (file_context_) {
      InsideLogger inside;
      file_context_->AppendLine(std::string_view(line.data(), line.size()));
    }
  }
  // Standard error may be a pipe nobody reads: a write blocked there holds
  // up this thread only, never every thread that logs.
  if (debug_output) WriteDebugOutput(std::string_view(line.data(), line.size()));
}

void LoggerPosix::PrepareFork() { mutex_.Lock(); }

void LoggerPosix::ParentAfterFork() { mutex_.Unlock(); }

void LoggerPosix::ChildAfterFork() {
  if (file_context_) file_context_->DropAfterFork();
  mutex_.Unlock();
}

}  // namespace HvQorLogging
