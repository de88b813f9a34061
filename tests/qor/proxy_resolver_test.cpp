// The proxy resolver library: proxies from the registry or the environment,
// failover in order, careful argument checks, and sessions that are counted,
// closed and never confused.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/sqlite_registry.h"
#include "qor/proxy_resolver/qor_proxy_resolver.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

constexpr char kProxyKey[] = "SOFTWARE\\Halvern\\QOR\\Proxy";

// A machine without proxy configuration: an empty registry, no proxy variables.
class ProxyResolver : public testing::Test {
 protected:
  ProxyResolver() {
    env_.Set("HALVERN_REGISTRY_DIR", registry_dir());
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.Unset(name);
    }
  }
  std::string registry_dir() const { return (dir_.path() / "registry").string(); }
  std::string Proxy(uint32_t session, const char* host) {
    EXPECT_EQ(QorProxyResolver_SetServer(session, host), static_cast<uint32_t>(QOR_PROXY_RESOLVER_OK));
    const char* proxy = nullptr;
    EXPECT_EQ(QorProxyResolver_GetProxy(session, &proxy), static_cast<uint32_t>(QOR_PROXY_RESOLVER_OK));
    return proxy ? proxy : "(null)";
  }

  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_;
};

constexpr uint32_t kOk = QOR_PROXY_RESOLVER_OK;
constexpr uint32_t kInvalid = QOR_PROXY_RESOLVER_INVALID_ARGUMENT;
constexpr uint32_t kUnknown = QOR_PROXY_RESOLVER_UNKNOWN_SESSION;

TEST_F(ProxyResolver, WithoutConfigurationEveryServerIsDirect) {
  QorProxyResolver_DelayLoadInitialize();
  const uint32_t session = QorProxyResolver_OpenSession("velder");
  ASSERT_NE(session, 0u);
  const char* proxy = nullptr;
  // Before any server is named, and for each server named.
  ASSERT_EQ(QorProxyResolver_GetProxy(session, &proxy), kOk);
  ASSERT_NE(proxy, nullptr);
  EXPECT_STREQ(proxy, "");
  for (const char* host : {"settings.example.net", "10.1.2.3", "[::1]", "localhost"}) {
    SCOPED_TRACE(host);
    ASSERT_EQ(QorProxyResolver_SetServer(session, host), kOk);
    proxy = nullptr;
    ASSERT_EQ(QorProxyResolver_GetProxy(session, &proxy), kOk);
    ASSERT_NE(proxy, nullptr);
    EXPECT_STREQ(proxy, "");
  }
  EXPECT_EQ(QorProxyResolver_ProxySucceeded(session), kOk);
  EXPECT_EQ(QorProxyResolver_ProxyFailed(session), static_cast<uint32_t>(QOR_PROXY_RESOLVER_NO_ALTERNATIVE));
  EXPECT_EQ(QorProxyResolver_Reset(session), kOk);
  ASSERT_EQ(QorProxyResolver_GetProxy(session, &proxy), kOk);
  EXPECT_STREQ(proxy, "");
  EXPECT_EQ(QorProxyResolver_CloseSession(session), kOk);
}

TEST_F(ProxyResolver, RefusesBadInput) {
  for (const char* identity : {static_cast<const char*>(nullptr), "", "svc\xc3"}) {
    EXPECT_EQ(QorProxyResolver_OpenSession(identity), 0u);
  }
  const uint32_t session = QorProxyResolver_OpenSession("velder");
  ASSERT_NE(session, 0u);
  const std::string too_long(256, 'a');
  for (const char* host : {static_cast<const char*>(nullptr), "", "a b", "http://x", "x/y", "x\r\nHost: y", "user@x",
                           "x?y", "x#y", "x\\y", "x\ty", "\xff", too_long.c_str()}) {
    SCOPED_TRACE(host ? host : "(null)");
    EXPECT_EQ(QorProxyResolver_SetServer(session, host), kInvalid);
  }
  EXPECT_EQ(QorProxyResolver_GetProxy(session, nullptr), kInvalid);
  EXPECT_EQ(QorProxyResolver_CloseSession(session), kOk);
  EXPECT_STREQ(QorProxyResolver_ErrorAsString(777), "Unknown proxy resolver error");
}

TEST_F(ProxyResolver, UnknownAndClosedSessionsAreRefused) {
  const uint32_t closed = QorProxyResolver_OpenSession("velder");
  ASSERT_NE(closed, 0u);
  ASSERT_EQ(QorProxyResolver_CloseSession(closed), kOk);
  for (uint32_t session : {0u, closed, 0xFFFFFFFFu}) {
    SCOPED_TRACE(session);
    const char* proxy = "stale";
    EXPECT_EQ(QorProxyResolver_GetProxy(session, &proxy), kUnknown);
    EXPECT_EQ(proxy, nullptr);
    EXPECT_EQ(QorProxyResolver_SetServer(session, "example.net"), kUnknown);
    EXPECT_EQ(QorProxyResolver_ProxySucceeded(session), kUnknown);
    EXPECT_EQ(QorProxyResolver_ProxyFailed(session), kUnknown);
    EXPECT_EQ(QorProxyResolver_Reset(session), kUnknown);
    EXPECT_EQ(QorProxyResolver_CloseSession(session), kUnknown);
  }
}

TEST_F(ProxyResolver, SessionsAreBoundedAndDistinct) {
  std::set<uint32_t> sessions;
  for (int i = 0; i < QOR_PROXY_RESOLVER_MAX_SESSIONS; ++i) {
    const uint32_t session = QorProxyResolver_OpenSession("velder");
    ASSERT_NE(session, 0u) << i;
    ASSERT_TRUE(sessions.insert(session).second) << "handle given twice: " << session;
  }
  EXPECT_EQ(QorProxyResolver_OpenSession("velder"), 0u);
  ASSERT_EQ(QorProxyResolver_CloseSession(*sessions.begin()), kOk);
  sessions.erase(sessions.begin());
  const uint32_t again = QorProxyResolver_OpenSession("velder");
  ASSERT_NE(again, 0u);
  EXPECT_EQ(sessions.count(again), 0u);
  sessions.insert(again);
  for (uint32_t session : sessions) EXPECT_EQ(QorProxyResolver_CloseSession(session), kOk);
}

TEST_F(ProxyResolver, RegistryProxiesAreTriedInOrderThenDirectThenAgain) {
  SqliteRegistry registry(registry_dir());
  registry.CreateKeyPath(kProxyKey);
  registry.SetMultiString(kProxyKey, "Servers", {"p1:3128", "http://u:p@p2:8080"});
  registry.SetString(kProxyKey, "Bypass", "*.intra.example");
  env_.Set("https_proxy", "http://env:1");  // the registry wins
  const uint32_t s = QorProxyResolver_OpenSession("velder");
  constexpr uint32_t kNext = QOR_PROXY_RESOLVER_OK, kNone = QOR_PROXY_RESOLVER_NO_ALTERNATIVE;

  EXPECT_EQ(Proxy(s, "settings.example"), "p1:3128");
  EXPECT_EQ(QorProxyResolver_ProxySucceeded(s), kNext);
  EXPECT_EQ(Proxy(s, "settings.example"), "p1:3128");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNext);
  EXPECT_EQ(Proxy(s, "settings.example"), "http://u:p@p2:8080");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNone);
  EXPECT_EQ(Proxy(s, "settings.example"), "");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNext);  // direct failed too: from the top
  EXPECT_EQ(Proxy(s, "settings.example"), "p1:3128");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNext);
  EXPECT_EQ(QorProxyResolver_Reset(s), kNext);
  EXPECT_EQ(Proxy(s, "settings.example"), "p1:3128");

  // A bypassed server goes direct and has nothing to fail over to.
  EXPECT_EQ(Proxy(s, "a.intra.example"), "");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNone);
  EXPECT_EQ(Proxy(s, "settings.example"), "p1:3128");

  // A changed list starts with its first proxy.
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNext);
  registry.SetMultiString(kProxyKey, "Servers", {"p3:1", "p1:3128"});
  EXPECT_EQ(Proxy(s, "settings.example"), "p3:1");
  EXPECT_EQ(QorProxyResolver_CloseSession(s), kNext);
}

TEST_F(ProxyResolver, WithoutRegistryProxiesTheEnvironmentDecides) {
  const struct {
    const char* variable;
    const char* no_proxy;
    const char* host;
    const char* proxy;
  } cases[] = {
      {"https_proxy", "", "settings.example", "http://envproxy:3128"},
      {"HTTPS_PROXY", "", "settings.example", "http://envproxy:3128"},
      {"all_proxy", "", "settings.example", "http://envproxy:3128"},
      {"https_proxy", "example", "settings.example", ""},
      {"https_proxy", " .example ,other", "settings.example", ""},
      {"https_proxy", "ttings.example", "settings.example", "http://envproxy:3128"},
      {"https_proxy", "*", "settings.example", ""},
      {"https_proxy", "SETTINGS.example", "settings.example", ""},
      {"http_proxy", "", "settings.example", ""},  // plain-HTTP proxies are not for HTTPS
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.variable << " no_proxy=" << c.no_proxy);
    testing_support::ScopedEnv env;
    env.Set(c.variable, "http://envproxy:3128");
    env.Set("no_proxy", c.no_proxy);
    const uint32_t s = QorProxyResolver_OpenSession("velder");
    EXPECT_EQ(Proxy(s, c.host), c.proxy);
    QorProxyResolver_CloseSession(s);
  }
}

}  // namespace
