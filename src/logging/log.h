// The logging calls of every component.
//
//   HV_LOG_ERROR("Failed to open file '{}', error={}", path, err);
//
// Each macro gives the call its source (the calling function's qualified name)
// and a {fmt} format checked at compile time. A message above the threshold
// costs a tick-count read and a comparison; its arguments are not evaluated.
// No call fails its caller and none changes errno.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string_view>

namespace HvQorLogging {

enum Level : int {
  kFatal = 1,
  kError = 2,
  kWarning = 3,
  kInformation = 4,
  kDebug = 5,
  kVerbose = 6,
};

// Initialisation options (a bit set).
enum Option : uint32_t {
  kOptionPrivateLock = 0x01,    // the log file lock is not shared between processes
  kOptionDebugBanners = 0x02,   // banners at level 5 instead of 4
  kOptionNoInitialRefresh = 0x04,
  kOptionSidInFileName = 0x08,  // an administrator's log file name carries its SID
  kOptionUtcTimestamps = 0x10,
  kOptionPrivateDirectories = 0x20,
};

// Opens the process-wide log for `identity`/`framework`/`component`; `level` is
// the threshold when the configuration names none. A second call while open
// does nothing.
void LogInit(std::string_view identity, std::string_view framework, std::string_view component, int level,
             uint32_t options);
// The same without an identity: the log goes to the shared directory of the
// framework.
void LogInit(std::string_view framework, std::string_view component, int level, uint32_t options);
// Writes the end banner and closes the log file; a later LogInit opens it again.
void LogClose();
void LogFlush();

// True when a message of `level` would be written. Keeps the configuration
// fresh (re-read at most once a minute).
bool LogIsEnabled(int level);

namespace detail {
// `source` is a qualified function name or a compiler's pretty function
// signature (reduced to "Class::Method"), or null for no source.
void WriteFormatted(int level, const char* source, fmt::string_view format, fmt::format_args args) noexcept;
}  // namespace detail

template <typename... Args>
void LogWriteFrom(int level, const char* source, fmt::format_string<Args...> format, Args&&... args) {
  detail::WriteFormatted(level, source, format, fmt::make_format_args(args...));
}

template <typename... Args>
void LogWrite(int level, fmt::format_string<Args...> format, Args&&... args) {
  detail::WriteFormatted(level, nullptr, format, fmt::make_format_args(args...));
}

}  // namespace HvQorLogging

#define HV_LOG(level, ...)                                                         \
  do {                                                                             \
    if (::HvQorLogging::LogIsEnabled(level))                                       \
      ::HvQorLogging::LogWriteFrom((level), __PRETTY_FUNCTION__, __VA_ARGS__);     \
  } while (0)

#define HV_LOG_FATAL(...) HV_LOG(::HvQorLogging::kFatal, __VA_ARGS__)
#define HV_LOG_ERROR(...) HV_LOG(::HvQorLogging::kError, __VA_ARGS__)
#define HV_LOG_WARNING(...) HV_LOG(::HvQorLogging::kWarning, __VA_ARGS__)
#define HV_LOG_INFO(...) HV_LOG(::HvQorLogging::kInformation, __VA_ARGS__)
#define HV_LOG_DEBUG(...) HV_LOG(::HvQorLogging::kDebug, __VA_ARGS__)
#define HV_LOG_VERBOSE(...) HV_LOG(::HvQorLogging::kVerbose, __VA_ARGS__)
