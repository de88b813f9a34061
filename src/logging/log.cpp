// Placeholder until the logger lands: writes every message to standard error.
#include "logging/log.h"

#include <cerrno>
#include <cstdio>

namespace HvQorLogging {

void LogInit(std::string_view, std::string_view, std::string_view, int, uint32_t) {}
void LogClose() {}
void LogFlush() {}
bool LogIsEnabled(int level) { return level <= kInformation; }

namespace detail {
void WriteFormatted(int level, const char* source, fmt::string_view format, fmt::format_args args) noexcept {
  const int saved = errno;
  try {
    fmt::print(stderr, "{} {}: {}\n", level, source ? source : "", fmt::vformat(format, args));
  } catch (...) {
  }
  errno = saved;
}
}  // namespace detail

}  // namespace HvQorLogging
