#include "proxy_session_table.h"

#include "platform/utf.h"
#include "qor/proxy_resolver/qor_proxy_resolver.h"

namespace qor_proxy {

ProxySessionTable& ProxySessionTable::Instance() {
  static ProxySessionTable* table = new ProxySessionTable();
  return *table;
}

bool ProxySessionTable::IsValidHost(std::string_view host) {
  if (host.empty() || host.size() > 255 || !platform::IsValidUtf8(host)) return false;
  for (unsigned char c : host) {
    // '[' ']' ':' stay allowed for IPv6 literals; anything that would change
    // the meaning of a URL or a header does not.
    if (c <= 0x20 || c == 0x7f || c == '/' || c == '\\' || c == '?' || c == '#' || c == '@') return false;
  }
  return true;
}

ProxySessionTable::Session* ProxySessionTable::Find(uint32_t session) {
  auto it = sessions_.find(session);
  return it == sessions_.end() ? nullptr : &it->second;
}

uint32_t ProxySessionTable::Open(std::string_view identity) {
  if (identity.empty() || !platform::IsValidUtf8(identity)) return 0;
  platform::MutexLock lock(mutex_);
  if (sessions_.size() >= QOR_PROXY_RESOLVER_MAX_SESSIONS) return 0;
  uint32_t handle = last_handle_;
  do {
    ++handle;
  } while (handle == 0 || sessions_.count(handle) != 0);
  last_handle_ = handle;
  Session session;
  session.identity.assign(identity);
  sessions_.emplace(handle, std::move(session));
  return handle;
}

uint32_t ProxySessionTable::SetServer(uint32_t session, std::string_view host) {
  if (!IsValidHost(host)) return QOR_PROXY_RESOLVER_INVALID_ARGUMENT;
  platform::MutexLock lock(mutex_);
  Session* s = Find(session);
  if (!s) return QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
  s->server.assign(host);
  return QOR_PROXY_RESOLVER_OK;
}

uint32_t ProxySessionTable::GetProxy(uint32_t session, const char** proxy) {
  // The registry is read outside the table lock: other sessions need not wait.
  ProxyConfiguration config = ProxyConfiguration::Read();
  platform::MutexLock lock(mutex_);
  Session* s = Find(session);
  if (!s) {
    *proxy = nullptr;
    return QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
  }
  if (config != s->config) {
    // Another list: its first proxy is the one to try.
    s->config = std::move(config);
    s->next = 0;
  }
  s->bypassed = s->config.Bypasses(s->server);
  s->proxy = s->bypassed || s->next >= s->config.servers.size() ? std::string() : s->config.servers[s->next];
  *proxy = s->proxy.c_str();
  return QOR_PROXY_RESOLVER_OK;
}

uint32_t ProxySessionTable::Succeeded(uint32_t session) {
  platform::MutexLock lock(mutex_);
  return Find(session) ? QOR_PROXY_RESOLVER_OK : QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
}

uint32_t ProxySessionTable::Failed(uint32_t session) {
  platform::MutexLock lock(mutex_);
  Session* s = Find(session);
  if (!s) return QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
  const size_t count = s->config.servers.size();
  // A bypassed server or a machine without proxies has no other route.
  if (s->bypassed || count == 0) return QOR_PROXY_RESOLVER_NO_ALTERNATIVE;
  if (s->next >= count) {
    // The direct connection failed too: start again with the first proxy.
    s->next = 0;
    return QOR_PROXY_RESOLVER_OK;
  }
  ++s->next;
  return s->next < count ? QOR_PROXY_RESOLVER_OK : QOR_PROXY_RESOLVER_NO_ALTERNATIVE;
}

uint32_t ProxySessionTable::Reset(uint32_t session) {
  platform::MutexLock lock(mutex_);
  Session* s = Find(session);
  if (!s) return QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
  s->next = 0;
  return QOR_PROXY_RESOLVER_OK;
}

uint32_t ProxySessionTable::Close(uint32_t session) {
  platform::MutexLock lock(mutex_);
  return sessions_.erase(session) ? QOR_PROXY_RESOLVER_OK : QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
}

}  // namespace qor_proxy
