#include "notify/utf16_order.h"

#include <algorithm>
#include <cstdint>

namespace notify {
namespace {

// A permutation of byte values that moves the lead bytes of U+E000-U+FFFF
// (0xEE, 0xEF) above those of the supplementary planes (0xF0-0xF4) and keeps
// every other byte in its order. Being a permutation keeps distinct texts
// distinct.
constexpr uint8_t Rank(uint8_t byte) {
  if (byte == 0xEE || byte == 0xEF) return static_cast<uint8_t>(byte + 0x10);
  if (byte >= 0xF0) return static_cast<uint8_t>(byte - 0x02);
  return byte;
}

}  // namespace

bool Utf16Less(std::string_view a, std::string_view b) {
  const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (ib == b.end()) return false;  // b is a prefix of a, or equal
  if (ia == a.end()) return true;   // a is a proper prefix of b
  return Rank(static_cast<uint8_t>(*ia)) < Rank(static_cast<uint8_t>(*ib));
}

void SortUniqueUtf16(std::vector<std::string>& texts) {
  std::sort(texts.begin(), texts.end(), [](const std::string& a, const std::string& b) { return Utf16Less(a, b); });
  texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
}

}  // namespace notify
