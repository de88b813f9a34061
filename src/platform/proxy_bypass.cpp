#include "platform/proxy_bypass.h"

#include <arpa/inet.h>

#include <string>

namespace platform {
namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive match of `text` against `pattern`, where "*" matches any run.
bool GlobMatch(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && AsciiLower(pattern[p]) == AsciiLower(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool IsLocalProxyHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string text(host);
  // inet_aton, like the resolver, also reads "127.1" and "2130706433".
  in_addr v4{};
  if (::inet_aton(text.c_str(), &v4) != 0) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return !host.empty() && host.find('.') == std::string_view::npos;
}

bool MatchesProxyBypass(std::string_view host, std::string_view bypass) {
  size_t pos = 0;
  while (pos < bypass.size()) {
    const size_t end = bypass.find_first_of("; \t,", pos);
    const std::string_view entry = bypass.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? bypass.size() : end + 1;
    if (entry.empty()) continue;
    if (entry == kLocalBypass ? IsLocalProxyHost(host) : GlobMatch(entry, host)) return true;
  }
  return false;
}

}  // namespace platform
