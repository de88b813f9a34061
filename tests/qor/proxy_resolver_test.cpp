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
constexpr uint32_t kOk = QOR_PROXY_RESOLVER_OK, kNone = QOR_PROXY_RESOLVER_NO_ALTERNATIVE;
constexpr uint32_t kInvalid = QOR_PROXY_RESOLVER_INVALID_ARGUMENT, kUnknown = QOR_PROXY_RESOLVER_UNKNOWN_SESSION;

// A machine without proxy configuration: an empty registry, no proxy variables.
class ProxyResolver : public testing::Test {
 protected:
  ProxyResolver() {
    env_.Set("HALVERN_REGISTRY_DIR", dir_.File("registry"));
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.Unset(name);
    }
  }
  // The proxy for `host` (none given: the one already set); "(null)" when none is answered.
  static std::string Proxy(uint32_t session, const char* host = nullptr) {
    if (host) {
      EXPECT_EQ(QorProxyResolver_SetServer(session, host), kOk);
    }
    const char* proxy = nullptr;
    EXPECT_EQ(QorProxyResolver_GetProxy(session, &proxy), kOk);
    return proxy ? proxy : "(null)";
  }

  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_;
};

TEST_F(ProxyResolver, RefusesBadInputUnknownOrClosedSessionsAndOneSessionTooMany) {
  for (const char* identity : {static_cast<const char*>(nullptr), "", "svc\xc3"}) {
    EXPECT_EQ(QorProxyResolver_OpenSession(identity), 0u);
  }
  const uint32_t session = QorProxyResolver_OpenSession("velder");
  ASSERT_NE(session, 0u);
  EXPECT_EQ(Proxy(session), "");  // before any server is named; without configuration everything is direct
  for (const char* host : {"10.1.2.3", "[::1]", "localhost"}) EXPECT_EQ(Proxy(session, host), "") << host;
  const std::string too_long(256, 'a');
  for (const char* host : {static_cast<const char*>(nullptr), "", "a b", "http://x", "x/y", "x\r\nHost: y", "user@x",
                           "x?y", "x#y", "x\\y", "x\ty", "\xff", too_long.c_str()}) {
    EXPECT_EQ(QorProxyResolver_SetServer(session, host), kInvalid) << (host ? host : "(null)");
  }
  EXPECT_EQ(QorProxyResolver_GetProxy(session, nullptr), kInvalid);
  EXPECT_EQ(QorProxyResolver_CloseSession(session), kOk);
  EXPECT_STREQ(QorProxyResolver_ErrorAsString(777), "Unknown proxy resolver error");
  for (uint32_t closed : {0u, session, 0xFFFFFFFFu}) {
    SCOPED_TRACE(closed);
    const char* proxy = "stale";
    EXPECT_EQ(QorProxyResolver_GetProxy(closed, &proxy), kUnknown);
    EXPECT_EQ(proxy, nullptr);
    EXPECT_EQ(QorProxyResolver_SetServer(closed, "example.net"), kUnknown);
    EXPECT_EQ(QorProxyResolver_ProxySucceeded(closed), kUnknown);
    EXPECT_EQ(QorProxyResolver_ProxyFailed(closed), kUnknown);
    EXPECT_EQ(QorProxyResolver_Reset(closed), kUnknown);
    EXPECT_EQ(QorProxyResolver_CloseSession(closed), kUnknown);
  }
  // Sessions are bounded and distinct.
  std::set<uint32_t> sessions;
  for (int i = 0; i < QOR_PROXY_RESOLVER_MAX_SESSIONS; ++i) {
    const uint32_t opened = QorProxyResolver_OpenSession("velder");
    ASSERT_NE(opened, 0u) << i;
    ASSERT_TRUE(sessions.insert(opened).second) << "handle given twice: " << opened;
  }
  EXPECT_EQ(QorProxyResolver_OpenSession("velder"), 0u);
  ASSERT_EQ(QorProxyResolver_CloseSession(*sessions.begin()), kOk);
  sessions.erase(sessions.begin());
  const uint32_t again = QorProxyResolver_OpenSession("velder");
  ASSERT_NE(again, 0u);
  EXPECT_TRUE(sessions.insert(again).second);
  for (uint32_t open : sessions) EXPECT_EQ(QorProxyResolver_CloseSession(open), kOk);
}

TEST_F(ProxyResolver, RegistryProxiesAreTriedInOrderThenDirectThenAgain) {
  SqliteRegistry registry(dir_.File("registry"));
  registry.CreateKeyPath(kProxyKey);
  registry.SetMultiString(kProxyKey, "Servers", {"p1:3128", "http://u:p@p2:8080"});
  registry.SetString(kProxyKey, "Bypass", "*.intra.example");
  env_.Set("https_proxy", "http://env:1");  // the registry wins
  const uint32_t s = QorProxyResolver_OpenSession("velder");
  const char* const host = "settings.example";
  // Order, success, the end of the list and a reset are pinned end to end (integration/http_transport_test).
  EXPECT_EQ(Proxy(s, host), "p1:3128");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kOk);
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNone);
  EXPECT_EQ(Proxy(s, host), "");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kOk);  // direct failed too: from the top
  EXPECT_EQ(Proxy(s, host), "p1:3128");
  // A bypassed server goes direct and has nothing to fail over to.
  EXPECT_EQ(Proxy(s, "a.intra.example"), "");
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kNone);
  EXPECT_EQ(Proxy(s, host), "p1:3128");
  // A changed list starts with its first proxy.
  EXPECT_EQ(QorProxyResolver_ProxyFailed(s), kOk);
  registry.SetMultiString(kProxyKey, "Servers", {"p3:1", "p1:3128"});
  EXPECT_EQ(Proxy(s, host), "p3:1");
  EXPECT_EQ(QorProxyResolver_CloseSession(s), kOk);
}

TEST_F(ProxyResolver, WithoutRegistryProxiesTheEnvironmentDecides) {
  const struct {
    const char *variable, *no_proxy, *proxy;
  } cases[] = {
      {"https_proxy", "", "http://envproxy:3128"}, {"HTTPS_PROXY", "", "http://envproxy:3128"},
      {"all_proxy", "", "http://envproxy:3128"}, {"https_proxy", "example", ""},
      {"https_proxy", " .example ,other", ""}, {"https_proxy", "ttings.example", "http://envproxy:3128"},
      {"https_proxy", "*", ""}, {"https_proxy", "SETTINGS.example", ""},
      {"http_proxy", "", ""},  // plain-HTTP proxies are not for HTTPS
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.variable << " no_proxy=" << c.no_proxy);
    testing_support::ScopedEnv env;
    env.Set(c.variable, "http://envproxy:3128");
    env.Set("no_proxy", c.no_proxy);
    const uint32_t s = QorProxyResolver_OpenSession("velder");
    EXPECT_EQ(Proxy(s, "settings.example"), c.proxy);
    QorProxyResolver_CloseSession(s);
  }
}

}  // namespace
