// Diagnostics of the library. The library has no log file of its own (it is
// loaded into processes that have theirs); with HV_QOR_IPC_DEBUG set in the
// environment it explains on standard error why it closed a connection or
// refused a call.
#pragma once

#include <fmt/format.h>

namespace qor_ipc {

bool DebugEnabled();
void DebugWrite(fmt::string_view format, fmt::format_args args);

template <typename... Args>
void DebugLog(fmt::format_string<Args...> format, Args&&... args) {
  if (DebugEnabled()) DebugWrite(format, fmt::make_format_args(args...));
}

}  // namespace qor_ipc
