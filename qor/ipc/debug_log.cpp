#include "qor/ipc/debug_log.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>

namespace qor_ipc {

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

}  // namespace qor_ipc
