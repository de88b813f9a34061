#include "platform/sid.h"

#include <charconv>
#include <cstdint>

namespace platform {
namespace {

// Parses one decimal field below `limit` from the front of `text`.
bool TakeNumber(std::string_view& text, uint64_t limit, uint64_t* value = nullptr) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 20) return false;
  uint64_t v = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + digits, v);
  if (ec != std::errc() || v >= limit) return false;
  text.remove_prefix(digits);
  if (value) *value = v;
  return true;
}

}  // namespace

bool IsValidSidText(std::string_view text) {
  if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
  text.remove_prefix(2);
  if (text.size() < 2 || text[0] != '1' || text[1] != '-') return false;
  text.remove_prefix(2);
  // The identifier authority is a 48-bit number.
  if (!TakeNumber(text, uint64_t{1} << 48)) return false;
  int subs = 0;
  while (!text.empty()) {
    if (text[0] != '-') return false;
    text.remove_prefix(1);
    if (!TakeNumber(text, uint64_t{1} << 32)) return false;
    ++subs;
  }
  return subs >= 1 && subs <= 15;
}

std::string CanonicalSidText(std::string_view text) {
  if (!IsValidSidText(text)) return {};
  std::string canonical = "S";
  text.remove_prefix(1);
  while (!text.empty()) {
    text.remove_prefix(1);  // the '-'
    uint64_t number = 0;
    TakeNumber(text, UINT64_MAX, &number);
    canonical += '-' + std::to_string(number);
  }
  return canonical;
}

bool IsCanonicalSidText(std::string_view text) { return !text.empty() && CanonicalSidText(text) == text; }

std::string SidForUid(uid_t uid) {
  if (uid == 0) return std::string(kSystemSid);
  return "S-1-22-1-" + std::to_string(uid);
}

std::optional<uid_t> UidForSid(std::string_view sid) {
  if (sid == kSystemSid) return 0;
  constexpr std::string_view kPrefix = "S-1-22-1-";
  if (sid.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::string_view rest = sid.substr(kPrefix.size());
  uint64_t uid = 0;
  if (!TakeNumber(rest, uint64_t{1} << 32, &uid) || !rest.empty() || uid == 0) return std::nullopt;
  return static_cast<uid_t>(uid);
}

}  // namespace platform
