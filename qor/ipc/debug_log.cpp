#include "qor/ipc/debug_log.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/mutex.h"

namespace qor_ipc {
namespace {

// Calls hold it shared, so that a change of callback waits until no call of
// the old one runs (the plug-in that set it may be unloaded right after).
platform::SharedMutex callback_mu;
HvIPC_LogCallback log_callback GUARDED_BY(callback_mu) = nullptr;
void* log_context GUARDED_BY(callback_mu) = nullptr;

}  // namespace

bool DebugEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("HV_QOR_IPC_DEBUG");
    return v && *v && *v != '0';
  }();
  return enabled;
}

void DebugWrite(fmt::string_view format, fmt::format_args args) {
  const int saved = errno;
  std::string line = "hv_qor_ipc[" + std::to_string(::getpid()) + "]: " + fmt::vformat(format, args) + "\n";
  // One write per line, so that lines of several threads do not mix.
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
  errno = saved;
}

void NoticeWrite(uint32_t level, const std::string& line) {
  DebugLog("{}", line);
  platform::ReaderLock lock(callback_mu);
  if (log_callback) log_callback(level, line.c_str(), log_context);
}

void SetLogCallback(HvIPC_LogCallback callback, void* context) {
  platform::WriterLock lock(callback_mu);
  log_callback = callback;
  log_context = context;
}

}  // namespace qor_ipc
