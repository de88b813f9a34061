// The command line of hvreg: a command and switches in the style
// "/v NAME" (also "-v NAME"; switch names in any case).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hvreg {

struct HvregOptions {
  std::string command;                   // query, add, delete, export, import
  std::vector<std::string> operands;     // KEY, FILE
  std::optional<std::string> value_name; // /v NAME, or "" for /ve
  bool all_values = false;               // /va (delete)
  std::optional<std::string> type;       // /t TYPE (add)
  std::optional<std::string> data;       // /d DATA (add)
  std::string separator = "\\0";         // /s SEP (add, REG_MULTI_SZ)
  bool recursive = false;                // /s (query)
  bool force = false;                    // /f (add, delete), /y (export)
  uint32_t view = 0;                     // /reg:32, /reg:64
  bool help = false;
};

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation failed
inline constexpr int kExitUsage = 2;   // bad command line

// Parses the arguments after the program name. False with `error` set for an
// unknown command or switch, a missing or surplus operand, or a switch
// without its value.
bool ParseHvregOptions(const std::vector<std::string>& args, HvregOptions& options, std::string& error);

// The help text.
std::string HvregUsage();

}  // namespace hvreg
