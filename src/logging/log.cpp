#include "logging/log.h"

#include <pthread.h>

#include <cerrno>

#include "logging/logger_posix.h"

namespace HvQorLogging {
namespace {

LoggerPosix* g_instance = nullptr;

// Closes the log at process exit. The logger itself is never destroyed, so
// that static destructors that run after this one can still log safely
// (their lines reach standard error only).
class AutoCloser {
 public:
  ~AutoCloser() { g_instance->AutoClose(); }
};

void PrepareFork() { g_instance->PrepareFork(); }
void ParentAfterFork() { g_instance->ParentAfterFork(); }
void ChildAfterFork() { g_instance->ChildAfterFork(); }

LoggerPosix& Instance() {
  static LoggerPosix* const instance = [] {
    g_instance = new LoggerPosix();
    static AutoCloser closer;
    ::pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork);
    return g_instance;
  }();
  return *instance;
}

}  // namespace

void LogInit(std::string_view identity, std::string_view framework, std::string_view component, int level,
             uint32_t options) {
  Instance().Open(identity, framework, component, level, options);
}

void LogInit(std::string_view framework, std::string_view component, int level, uint32_t options) {
  Instance().Open({}, framework, component, level, options);
}

void LogClose() { Instance().Close(); }

void LogFlush() { Instance().Flush(); }

bool LogIsEnabled(int level) {
  const int saved = errno;
  const bool enabled = Instance().IsEnabled(level);
  errno = saved;
  return enabled;
}

namespace detail {
void WriteFormatted(int level, const char* source, fmt::string_view format, fmt::format_args args) noexcept {
  Instance().WriteV(level, source, format, args);
}
}  // namespace detail

}  // namespace HvQorLogging
