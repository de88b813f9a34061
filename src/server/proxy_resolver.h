// The owner of one session of the proxy resolver library
// (libqor_proxy_resolver.so, reached through the delay loader): which proxy,
// if any, the settings server is reached through.
//
// Before every request ServerComm asks GetProxy for the server host and hands
// the answer to HttpRequest::SetProxy (empty = direct). Afterwards it reports
// ProxyFailed when the exchange failed, so that the library moves on to its
// next proxy, or ProxySucceeded when it worked, so that it sticks to it.
//
// Without a session (the library is missing, or refused to open one) every
// operation does nothing and GetProxy answers "": requests go direct, and no
// report reaches the library.
//
// Created lazily by ServerComm on the first request; used only by the
// settings manager's update thread.
#pragma once

#include <cstdint>
#include <string>

class ProxyResolver {
 public:
  // The library's answer to ProxyFailed when no other proxy is left; the
  // next requests go direct.
  static constexpr uint32_t kNoAlternative = 3;

  // Opens a library session named by the plug-in `identity`.
  explicit ProxyResolver(const std::string& identity);
  // Closes the session.
  virtual ~ProxyResolver();
  ProxyResolver(const ProxyResolver&) = delete;
  ProxyResolver& operator=(const ProxyResolver&) = delete;

  // The proxy for `server_host` into `proxy` (may carry credentials);
  // empty for a direct connection, also on any failure.
  virtual void GetProxy(std::string& proxy, const std::string& server_host);
  // Reports a failed request through the current proxy. True when the library
  // took the report (its answer 0 or 3); `exhausted` (optional) tells whether
  // it answered 3, no further proxy. False without a session.
  virtual bool ProxyFailed(bool* exhausted = nullptr);
  // Reports a request that worked; true when the library took the report.
  virtual bool ProxySucceeded();
  // Goes back to the first configured proxy.
  virtual void Reset();

  bool has_session() const { return session_ != 0; }

 private:
  uint32_t session_ = 0;
};
