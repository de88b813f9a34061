// The open sessions of the proxy resolver library. Each session remembers the
// server it was asked about, the configured proxies (proxy_configuration.h)
// and which of them is to be tried next, and owns the proxy text last handed
// out, so that the pointer GetProxy returns stays valid until the next call on
// the session.
//
// The proxies are tried in their configured order: a failure moves on to the
// next, a success sticks to the current one. After the last proxy failed the
// answer is a direct connection (and Failed says so with NO_ALTERNATIVE); when
// that fails too, the first proxy is next again. A changed configuration, or
// Reset, starts over with the first proxy.
//
// Thread-safe: one mutex guards the table; every operation holds it for its
// whole (short) run, so calls on one session are serialised.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/mutex.h"
#include "proxy_configuration.h"

namespace qor_proxy {

class ProxySessionTable {
 public:
  // The one table of the library (never destroyed, so that a late call during
  // process exit still finds it).
  static ProxySessionTable& Instance();

  // 0 when `identity` is empty or not UTF-8, or when the table is full.
  uint32_t Open(std::string_view identity);
  uint32_t SetServer(uint32_t session, std::string_view host);
  // `*proxy` points into the session until its next call; null on failure.
  uint32_t GetProxy(uint32_t session, const char** proxy);
  uint32_t Succeeded(uint32_t session);
  uint32_t Failed(uint32_t session);
  uint32_t Reset(uint32_t session);
  uint32_t Close(uint32_t session);

  // True for a plain host name or address: no scheme, path, spaces or
  // control characters.
  static bool IsValidHost(std::string_view host);

 private:
  struct Session {
    std::string identity;
    std::string server;
    ProxyConfiguration config;  // as read by the last GetProxy
    size_t next = 0;            // index into config.servers; its size means direct
    bool bypassed = false;      // the last GetProxy answered direct for a bypassed server
    std::string proxy;          // what GetProxy handed out last
  };

  Session* Find(uint32_t session) REQUIRES(mutex_);

  platform::Mutex mutex_;
  // Open sessions by handle; guarded by mutex_.
  std::map<uint32_t, Session> sessions_ GUARDED_BY(mutex_);
  // The handle given out last; the next one follows it, skipping 0 and open ones.
  uint32_t last_handle_ GUARDED_BY(mutex_) = 0;
};

}  // namespace qor_proxy
