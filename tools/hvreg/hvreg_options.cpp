#include "hvreg/hvreg_options.h"

#include <algorithm>

#include "platform/registry.h"
#include "platform/registry_key_path.h"

namespace hvreg {
namespace {

struct Command {
  std::string_view name;
  size_t operands;                         // exactly this many
  std::vector<std::string_view> switches;  // accepted switches; "=" suffix: takes a value
};

const Command kCommands[] = {
    {"query", 1, {"v=", "ve", "s", "reg:32", "reg:64"}},
    {"add", 1, {"v=", "ve", "t=", "d=", "s=", "f", "reg:32", "reg:64"}},
    {"delete", 1, {"v=", "ve", "va", "f", "reg:32", "reg:64"}},
    {"export", 2, {"y", "reg:32", "reg:64"}},
    {"import", 1, {"reg:32", "reg:64"}},
};

bool IsHelp(const std::string& arg) { return arg == "/?" || arg == "-?" || arg == "-h" || arg == "--help"; }

// "/v" -> "v"; empty when `arg` does not look like a switch: a path such as
// "/tmp/x.reg" has a second slash or a dot and is an operand.
std::string SwitchName(const std::string& arg) {
  if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return std::string();
  const std::string name = arg.substr(1);
  const bool word = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':';
  });
  if (!word) return std::string();
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower;
}

}  // namespace

bool ParseHvregOptions(const std::vector<std::string>& args, HvregOptions& options, std::string& error) {
  options = HvregOptions();
  if (args.empty()) {
    error = "no command given";
    return false;
  }
  if (IsHelp(args[0]) || args[0] == "help") {
    options.help = true;
    return true;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (platform::EqualsIgnoreCase(args[0], c.name)) command = &c;
  }
  if (!command) {
    error = "unknown command '" + args[0] + "' (query, add, delete, export, import)";
    return false;
  }
  options.command = std::string(command->name);

  bool operands_only = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!operands_only && IsHelp(arg)) {
      options.help = true;
      return true;
    }
    if (!operands_only && arg == "--") {
      operands_only = true;
      continue;
    }
    const std::string name = operands_only ? std::string() : SwitchName(arg);
    if (name.empty()) {
      options.operands.push_back(arg);
      continue;
    }
    const auto& known = command->switches;
    const bool flag = std::find(known.begin(), known.end(), name) != known.end();
    const bool with_value = std::find(known.begin(), known.end(), name + "=") != known.end();
    if (!flag && !with_value) {
      error = "'" + arg + "' is not a switch of " + options.command;
      return false;
    }
    std::string value;
    if (with_value) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      value = args[++i];
    }
    auto once = [&](bool already) {
      if (already) error = arg + " given twice, or together with a switch it excludes";
      return !already;
    };
    if (name == "v" || name == "ve") {
      if (!once(options.value_name.has_value() || options.all_values)) return false;
      options.value_name = name == "v" ? value : std::string();
    } else if (name == "va") {
      if (!once(options.value_name.has_value() || options.all_values)) return false;
      options.all_values = true;
    } else if (name == "t") {
      if (!once(options.type.has_value())) return false;
      options.type = value;
    } else if (name == "d") {
      if (!once(options.data.has_value())) return false;
      options.data = value;
    } else if (name == "s") {
      if (with_value) {
        options.separator = value;
      } else {
        options.recursive = true;
      }
    } else if (name == "f" || name == "y") {
      options.force = true;
    } else if (name == "reg:32") {
      options.view = KEY_WOW64_32KEY;
    } else if (name == "reg:64") {
      options.view = KEY_WOW64_64KEY;
    }
  }
  if (options.operands.size() != command->operands) {
    error = options.command + (command->operands == 1 ? " takes one " : " takes two ") +
            (options.command == "import" ? "operand (FILE)"
             : options.command == "export" ? "operands (KEY FILE)"
                                           : "operand (KEY)") +
            ", got " + std::to_string(options.operands.size());
    return false;
  }
  return true;
}

std::string HvregUsage() {
  return R"(hvreg - read and change the settings registry

Usage:
  hvreg query  KEY [/v NAME | /ve] [/s]
  hvreg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/f]
  hvreg delete KEY [/v NAME | /ve | /va] [/f]
  hvreg export KEY FILE [/y]
  hvreg import FILE

KEY      a root and a path: HKLM\SOFTWARE\Halvern. Roots: HKLM (HKEY_LOCAL_MACHINE),
         HKCU (HKEY_CURRENT_USER: the hive of the effective user), HKU (HKEY_USERS;
         its subkeys are the users' hives, named by SID: HKU\S-1-22-1-1000\...).
/v NAME  the value NAME; /ve the key's default (unnamed) value
/va      (delete) every value of the key, keeping the key and its subkeys
/s       (query) also every subkey, recursively
/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,
         REG_BINARY, REG_NONE
/d DATA  text; a number (decimal, or hex after 0x) for REG_DWORD and REG_QWORD;
         hex digits for REG_BINARY; elements separated by \0 for REG_MULTI_SZ
/s SEP   (add) the element separator of REG_MULTI_SZ data instead of \0
/f       add: overwrite an existing value; delete: do not ask before deleting
/y       (export) replace an existing FILE
/reg:32, /reg:64  accepted for compatibility; there is a single registry view

Without /v, add creates the key and delete removes the key with all its subkeys.
export writes the key and its subkeys as a registry file ("Windows Registry Editor
Version 5.00", UTF-16LE); import applies such a file (UTF-16LE or UTF-8), where
[-KEY] deletes a key and "name"=- a value.

A switch may also begin with '-'. A file path such as /tmp/x.reg is an operand;
one that could be read as a switch (/tmp) goes after --, which ends the switches.

Environment:
  HALVERN_REGISTRY_DIR  the registry folder (default /var/lib/halvern/registry):
                        HKLM.db for the machine, HKU/<SID>.db for each user;
                        protected/HKLM.db (root only) holds the protected keys,
                        HKLM\SOFTWARE\Halvern\QOR\ClientAuth and below: other
                        users are told "access denied" there

Exit status: 0 success, 1 the operation failed (access denied included), 2 bad
command line.
)";
}

}  // namespace hvreg
