// The proxy resolver library: direct connections for every server, careful
// argument checks, and sessions that are counted, closed and never confused.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qor/proxy_resolver/qor_proxy_resolver.h"

namespace {

constexpr uint32_t kOk = QOR_PROXY_RESOLVER_OK;
constexpr uint32_t kInvalid = QOR_PROXY_RESOLVER_INVALID_ARGUMENT;
constexpr uint32_t kUnknown = QOR_PROXY_RESOLVER_UNKNOWN_SESSION;

TEST(ProxyResolver, AnswersDirectForEveryServer) {
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

TEST(ProxyResolver, RefusesBadInput) {
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

TEST(ProxyResolver, UnknownAndClosedSessionsAreRefused) {
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

TEST(ProxyResolver, SessionsAreBoundedAndDistinct) {
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

}  // namespace
