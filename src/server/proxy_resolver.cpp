#include "server/proxy_resolver.h"

#include "platform/maker_libraries.h"

ProxyResolver::ProxyResolver(const std::string& identity)
    : session_(maker::QorProxyResolver_OpenSession(identity.c_str())) {}

ProxyResolver::~ProxyResolver() {
  if (session_ != 0) maker::QorProxyResolver_CloseSession(session_);
}

void ProxyResolver::GetProxy(std::string& proxy, const std::string& server_host) {
  proxy.clear();
  if (session_ == 0) return;
  if (!server_host.empty() && maker::QorProxyResolver_SetServer(session_, server_host.c_str()) != 0) return;
  const char* text = nullptr;
  if (maker::QorProxyResolver_GetProxy(session_, &text) == 0 && text != nullptr) proxy = text;
}

bool ProxyResolver::ProxyFailed(bool* exhausted) {
  if (exhausted) *exhausted = false;
  if (session_ == 0) return false;
  const uint32_t result = maker::QorProxyResolver_ProxyFailed(session_);
  if (exhausted) *exhausted = result == kNoAlternative;
  return result == 0 || result == kNoAlternative;
}

bool ProxyResolver::ProxySucceeded() {
  return session_ != 0 && maker::QorProxyResolver_ProxySucceeded(session_) == 0;
}

void ProxyResolver::Reset() {
  if (session_ != 0) maker::QorProxyResolver_Reset(session_);
}
