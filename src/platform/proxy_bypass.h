// Proxy bypass lists: which hosts are reached directly although a proxy is
// configured. Shared by the HTTP client and the proxy resolver library.
//
// A list holds entries separated by ";", "," or white space. An entry is a
// host pattern compared without regard to ASCII case, where "*" matches any
// run of characters ("*.corp.example", "10.*"), or the word "<local>", which
// matches host names without a dot ("intranet") and loopback addresses
// (127.0.0.0/8, ::1, also in brackets). Other IP addresses are not "local",
// dots or not.
#pragma once

#include <string_view>

namespace platform {

inline constexpr char kLocalBypass[] = "<local>";

// True when `host` matches an entry of `bypass`.
bool MatchesProxyBypass(std::string_view host, std::string_view bypass);

// True for a host name without a dot or a loopback address.
bool IsLocalProxyHost(std::string_view host);

}  // namespace platform
