// Diagnostics of the library. The library has no log file of its own (it is
// loaded into processes that have theirs); with HV_QOR_IPC_DEBUG set in the
// environment it explains on standard error why it closed a connection or
// refused a call. Limit events (Notice) also go to the process's own log
// through the callback of HvIPC_SetLogCallback.
#pragma once

#include <fmt/format.h>

#include <cstdint>

#include "qor/ipc/hv_qor_ipc.h"

namespace qor_ipc {

bool DebugEnabled();
void DebugWrite(fmt::string_view format, fmt::format_args args);

template <typename... Args>
void DebugLog(fmt::format_string<Args...> format, Args&&... args) {
  if (DebugEnabled()) DebugWrite(format, fmt::make_format_args(args...));
}

// Hands `line` to the log callback (and to standard error when debugging).
void NoticeWrite(uint32_t level, const std::string& line);
void SetLogCallback(HvIPC_LogCallback callback, void* context);

// A refused or closed client, at warning level; never throws.
template <typename... Args>
void Notice(fmt::format_string<Args...> format, Args&&... args) noexcept {
  try {
    NoticeWrite(3, fmt::format(format, std::forward<Args>(args)...));
  } catch (...) {
  }
}

}  // namespace qor_ipc
