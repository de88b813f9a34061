#include "platform/registry_key_path.h"

#include <algorithm>

#include "platform/utf.h"

namespace platform {
namespace {

// UTF-16 length of well-formed UTF-8: one unit per code point, two for the
// four-byte sequences.
size_t Utf16Units(std::string_view text) {
  size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) units += (c >= 0xF0) ? 2 : 1;
  }
  return units;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

RegistryError SplitKeyPath(std::string_view path, std::vector<std::string_view>& components) {
  components.clear();
  if (!IsValidUtf8(path) || path.find('\0') != std::string_view::npos) return RegistryError::InvalidArgument;
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return RegistryError::Ok;
  size_t start = 0;
  while (true) {
    const size_t end = std::min(path.find('\\', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || Utf16Units(part) > kMaxKeyNameUnits || components.size() >= kMaxKeyDepth) {
      components.clear();
      return RegistryError::InvalidArgument;
    }
    components.push_back(part);
    if (end == path.size()) return RegistryError::Ok;
    start = end + 1;
  }
}

std::string JoinKeyPath(std::string_view parent, std::string_view child) {
  std::string joined(parent);
  if (!joined.empty() && joined.back() != '\\') joined.push_back('\\');
  joined.append(child);
  return joined;
}

RegistryError CheckValueName(std::string_view name) {
  if (!IsValidUtf8(name) || name.find('\0') != std::string_view::npos || Utf16Units(name) > kMaxValueNameUnits) {
    return RegistryError::InvalidArgument;
  }
  return RegistryError::Ok;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

bool IsBelowKey(const std::vector<std::string_view>& path, const std::vector<std::string_view>& ancestor) {
  if (path.size() <= ancestor.size()) return false;
  for (size_t i = 0; i < ancestor.size(); ++i) {
    if (!EqualsIgnoreCase(path[i], ancestor[i])) return false;
  }
  return true;
}

}  // namespace platform
