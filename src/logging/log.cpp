#include "logging/log.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "logging/logger_posix.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace HvQorLogging {
namespace {

LoggerPosix* g_instance = nullptr;
// Set once the log has been closed at process exit.
std::atomic<bool> g_exited{false};

// Closes the log at process exit. The logger itself is never destroyed, and
// once it has closed every call returns at once, so that static destructors
// that run later may call the log functions safely: what the logger uses
// (the clock, the C library's time zone) may be gone by then.
class AutoCloser {
 public:
  ~AutoCloser() {
    g_instance->AutoClose();
    g_exited.store(true);
  }
};

void PrepareFork() { g_instance->PrepareFork(); }
void ParentAfterFork() { g_instance->ParentAfterFork(); }
void ChildAfterFork() { g_instance->ChildAfterFork(); }

LoggerPosix& Instance() {
  static LoggerPosix* const instance = [] {
    g_instance = new LoggerPosix();
#if defined(__SANITIZE_ADDRESS__)
    // Immortal on purpose (see AutoCloser); once the plug-in library is
    // unloaded nothing points at it any more, which is not a leak to report.
    __lsan_ignore_object(g_instance);
#endif
    static AutoCloser closer;
    ::pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork);
    return g_instance;
  }();
  return *instance;
}

}  // namespace

void LogInit(std::string_view identity, std::string_view framework, std::string_view component, int level,
             uint32_t options) {
  if (!g_exited.load()) Instance().Open(identity, framework, component, level, options);
}

void LogInit(std::string_view framework, std::string_view component, int level, uint32_t options) {
  if (!g_exited.load()) Instance().Open({}, framework, component, level, options);
}

void LogClose() {
  if (!g_exited.load()) Instance().Close();
}

void LogFlush() {
  if (!g_exited.load()) Instance().Flush();
}

bool LogIsEnabled(int level) {
  if (g_exited.load(std::memory_order_relaxed)) return false;
  const int saved = errno;
  const bool enabled = Instance().IsEnabled(level);
  errno = saved;
  return enabled;
}

namespace detail {
void WriteFormatted(int level, const char* source, fmt::string_view format, fmt::format_args args) noexcept {
  if (!g_exited.load(std::memory_order_relaxed)) Instance().WriteV(level, source, format, args);
}
}  // namespace detail

}  // namespace HvQorLogging
