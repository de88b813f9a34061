#include "hvreg/registry_key_name.h"

#include <vector>

#include "platform/registry_key_path.h"

namespace hvreg {
namespace {

struct RootSpelling {
  std::string_view short_name;
  std::string_view long_name;
  HKEY root;
};

constexpr RootSpelling kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKU", "HKEY_USERS", HKEY_USERS},
};

}  // namespace

std::string_view RootLongName(HKEY root) {
  for (const RootSpelling& r : kRoots) {
    if (r.root == root) return r.long_name;
  }
  return "?";
}

std::string RegistryKeyName::ToString() const {
  std::string text(RootLongName(root));
  if (!path.empty()) text += '\\' + path;
  return text;
}

RegistryKeyName RegistryKeyName::Child(std::string_view child) const {
  return RegistryKeyName{root, platform::JoinKeyPath(path, child)};
}

bool ParseRegistryKeyName(std::string_view text, RegistryKeyName& name, std::string& error) {
  const size_t slash = text.find('\\');
  const std::string_view root = text.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
  bool known = false;
  for (const RootSpelling& r : kRoots) {
    if (platform::EqualsIgnoreCase(root, r.short_name) || platform::EqualsIgnoreCase(root, r.long_name)) {
      name.root = r.root;
      known = true;
    }
  }
  if (!known) {
    error = "'" + std::string(text) + "' does not begin with HKLM, HKCU or HKU (or HKEY_LOCAL_MACHINE, "
            "HKEY_CURRENT_USER, HKEY_USERS)";
    return false;
  }
  std::vector<std::string_view> components;
  if (platform::SplitKeyPath(path, components) != RegistryError::Ok) {
    error = "'" + std::string(text) + "' is not a valid key name (empty or over-long part, or not UTF-8)";
    return false;
  }
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  name.path = std::string(path);
  return true;
}

}  // namespace hvreg
