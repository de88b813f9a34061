#include "proxy_configuration.h"

#include <cstdlib>

#include "platform/proxy_bypass.h"
#include "platform/sqlite_registry.h"

namespace qor_proxy {
namespace {

constexpr char kProxyKey[] = "SOFTWARE\\Halvern\\QOR\\Proxy";

std::string Environment(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

ProxyConfiguration ProxyConfiguration::Read() {
  ProxyConfiguration config;
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  std::vector<std::string> servers;
  if (registry.GetMultiString(kProxyKey, "Servers", servers) && !servers.empty()) {
    config.servers = std::move(servers);
    registry.GetString(kProxyKey, "Bypass", config.bypass);
    return config;
  }
  std::string proxy = Environment({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"});
  if (!proxy.empty()) config.servers.push_back(std::move(proxy));
  config.no_proxy = Environment({"no_proxy", "NO_PROXY"});
  return config;
}

bool ProxyConfiguration::Bypasses(std::string_view host) const {
  return platform::MatchesProxyBypass(host, bypass) || MatchesNoProxy(host, no_proxy);
}

bool MatchesNoProxy(std::string_view host, std::string_view no_proxy) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  size_t pos = 0;
  while (pos < no_proxy.size()) {
    const size_t end = no_proxy.find(',', pos);
    std::string_view entry = no_proxy.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? no_proxy.size() : end + 1;
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) entry.remove_prefix(1);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.remove_suffix(1);
    if (entry == "*") return true;
    if (entry.starts_with('.')) entry.remove_prefix(1);
    if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
    if (entry.empty()) continue;
    if (EqualsIgnoringCase(host, entry)) return true;
    if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
        EqualsIgnoringCase(host.substr(host.size() - entry.size()), entry)) {
      return true;
    }
  }
  return false;
}

}  // namespace qor_proxy
