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
  std::lock_guard lock(mutex_);
  if (sessions_.size() >= QOR_PROXY_RESOLVER_MAX_SESSIONS) return 0;
  uint32_t handle = last_handle_;
  do {
    ++handle;
  } while (handle == 0 || sessions_.count(handle) != 0);
  last_handle_ = handle;
  sessions_.emplace(handle, Session{std::string(identity), {}, {}});
  return handle;
}

uint32_t ProxySessionTable::SetServer(uint32_t session, std::string_view host) {
  if (!IsValidHost(host)) return QOR_PROXY_RESOLVER_INVALID_ARGUMENT;
  std::lock_guard lock(mutex_);
  Session* s = Find(session);
  if (!s) return QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
  s->server.assign(host);
  return QOR_PROXY_RESOLVER_OK;
}

uint32_t ProxySessionTable::GetProxy(uint32_t session, const char** proxy) {
  std::lock_guard lock(mutex_);
  Session* s = Find(session);
  if (!s) {
    *proxy = nullptr;
    return QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
  }
  // No proxy is known for any server: the answer is a direct connection.
  s->proxy.clear();
  *proxy = s->proxy.c_str();
  return QOR_PROXY_RESOLVER_OK;
}

uint32_t ProxySessionTable::Succeeded(uint32_t session) {
  std::lock_guard lock(mutex_);
  return Find(session) ? QOR_PROXY_RESOLVER_OK : QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
}

uint32_t ProxySessionTable::Failed(uint32_t session) {
  std::lock_guard lock(mutex_);
  // A direct connection is the only route, so there is nothing to switch to.
  return Find(session) ? QOR_PROXY_RESOLVER_NO_ALTERNATIVE : QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
}

uint32_t ProxySessionTable::Reset(uint32_t session) {
  std::lock_guard lock(mutex_);
  Session* s = Find(session);
  if (!s) return QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
  s->server.clear();
  s->proxy.clear();
  return QOR_PROXY_RESOLVER_OK;
}

uint32_t ProxySessionTable::Close(uint32_t session) {
  std::lock_guard lock(mutex_);
  return sessions_.erase(session) ? QOR_PROXY_RESOLVER_OK : QOR_PROXY_RESOLVER_UNKNOWN_SESSION;
}

}  // namespace qor_proxy
