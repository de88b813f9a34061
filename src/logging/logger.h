// The logger's interface: levels, filtering, tags and banner level. The
// process-wide instance is a LoggerPosix (logging/logger_posix.h); components
// reach it through the functions and macros of logging/log.h.
//
// Every operation may be called from any thread at any time.
#pragma once

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <string_view>

namespace HvQorLogging {

class Logger {
 public:
  virtual ~Logger() = default;

  // Opens the log of `component` of `framework` for the plug-in `identity`;
  // `level` is the threshold when the configuration names none. Does nothing
  // while already open.
  virtual void Open(std::string_view identity, std::string_view framework, std::string_view component, int level,
                    uint32_t options) = 0;
  virtual void Close() = 0;
  virtual void Flush() = 0;
  // Formats and writes one message unless `level` is filtered. `source` is a
  // qualified name or a compiler's function signature, or null.
  virtual void WriteV(int level, const char* source, fmt::string_view format, fmt::format_args args) noexcept = 0;

  bool IsEnabled(int level) { return !IsFiltered(level); }
  // True when `level` is above the threshold.
  virtual bool IsFiltered(int level) { return level > threshold_.load(std::memory_order_relaxed); }
  // "*F", "*E", ".W", " I", " D", " V"; two blanks for any other level.
  static std::string_view LevelTag(int level);
  // The level of the banners: 5 with option 0x02, else 4.
  static int BannerLevel(uint32_t options);

  // WriteV without a source.
  template <typename... Args>
  void Write(int level, fmt::format_string<Args...> format, Args&&... args) noexcept {
    WriteV(level, nullptr, format, fmt::make_format_args(args...));
  }

  int threshold() const { return threshold_.load(std::memory_order_relaxed); }

 protected:
  // 0 until opened, so that nothing is written before initialisation.
  std::atomic<int> threshold_{0};
};

}  // namespace HvQorLogging
