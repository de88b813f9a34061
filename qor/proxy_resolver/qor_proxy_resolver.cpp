// The C entry points of the proxy resolver library. Nothing may escape as an
// exception into a C caller, so each entry catches everything (only memory
// exhaustion can throw here).
#include "qor/proxy_resolver/qor_proxy_resolver.h"

#include "proxy_session_table.h"

using qor_proxy::ProxySessionTable;

namespace {

template <typename F>
uint32_t Guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return QOR_PROXY_RESOLVER_INTERNAL_ERROR;
  }
}

}  // namespace

extern "C" {

void QorProxyResolver_DelayLoadInitialize(void) {}

uint32_t QorProxyResolver_OpenSession(const char* identity) {
  if (!identity) return 0;
  try {
    return ProxySessionTable::Instance().Open(identity);
  } catch (...) {
    return 0;
  }
}

uint32_t QorProxyResolver_SetServer(uint32_t session, const char* server_host) {
  if (!server_host) return QOR_PROXY_RESOLVER_INVALID_ARGUMENT;
  return Guarded([&] { return ProxySessionTable::Instance().SetServer(session, server_host); });
}

uint32_t QorProxyResolver_GetProxy(uint32_t session, const char** proxy) {
  if (!proxy) return QOR_PROXY_RESOLVER_INVALID_ARGUMENT;
  *proxy = nullptr;
  return Guarded([&] { return ProxySessionTable::Instance().GetProxy(session, proxy); });
}

uint32_t QorProxyResolver_ProxySucceeded(uint32_t session) {
  return Guarded([&] { return ProxySessionTable::Instance().Succeeded(session); });
}

uint32_t QorProxyResolver_ProxyFailed(uint32_t session) {
  return Guarded([&] { return ProxySessionTable::Instance().Failed(session); });
}

uint32_t QorProxyResolver_Reset(uint32_t session) {
  return Guarded([&] { return ProxySessionTable::Instance().Reset(session); });
}

uint32_t QorProxyResolver_CloseSession(uint32_t session) {
  return Guarded([&] { return ProxySessionTable::Instance().Close(session); });
}

const char* QorProxyResolver_ErrorAsString(uint32_t code) {
  switch (code) {
    case QOR_PROXY_RESOLVER_OK: return "Success";
    case QOR_PROXY_RESOLVER_INVALID_ARGUMENT: return "Invalid argument";
    case QOR_PROXY_RESOLVER_UNKNOWN_SESSION: return "Unknown proxy resolver session";
    case QOR_PROXY_RESOLVER_NO_ALTERNATIVE: return "No alternative proxy to try";
    case QOR_PROXY_RESOLVER_TOO_MANY_SESSIONS: return "Too many proxy resolver sessions";
    case QOR_PROXY_RESOLVER_INTERNAL_ERROR: return "Internal error of the proxy resolver";
  }
  return "Unknown proxy resolver error";
}

}  // extern "C"
