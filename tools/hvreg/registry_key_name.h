// Full key names as users write them: a root ("HKLM", "HKEY_LOCAL_MACHINE",
// "HKCU", "HKEY_CURRENT_USER", "HKU", "HKEY_USERS", in any case) and a path
// below it, "HKLM\SOFTWARE\Halvern".
#pragma once

#include <string>
#include <string_view>

#include "platform/registry.h"

namespace hvreg {

struct RegistryKeyName {
  HKEY root = HKEY_LOCAL_MACHINE;
  std::string path;  // below the root, without a trailing backslash; empty for the root

  // "HKEY_LOCAL_MACHINE\SOFTWARE\Halvern"
  std::string ToString() const;
  // The name of the subkey `child` of this key.
  RegistryKeyName Child(std::string_view child) const;
};

// Splits `text` into root and path. False (with `error` set) for an unknown
// root or a malformed path.
bool ParseRegistryKeyName(std::string_view text, RegistryKeyName& name, std::string& error);

// "HKEY_LOCAL_MACHINE" and so on.
std::string_view RootLongName(HKEY root);

}  // namespace hvreg
