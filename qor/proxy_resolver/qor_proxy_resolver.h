/*
 * The proxy resolver library: which proxy the settings server is reached
 * through. The proxies come from the registry
 * (HKEY_LOCAL_MACHINE\SOFTWARE\Halvern\QOR\Proxy: "Servers", REG_MULTI_SZ,
 * tried in order, and "Bypass", REG_SZ), else from the environment of the
 * process (https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY; no_proxy). Both are
 * read again at every GetProxy. The empty text means a direct connection.
 *
 * A caller asks GetProxy before each request and reports afterwards:
 * ProxyFailed moves on to the next proxy (NO_ALTERNATIVE once none is left:
 * then the answer is direct, and after that fails too, the first proxy again);
 * ProxySucceeded keeps the current one; Reset goes back to the first.
 *
 * Strings are NUL-terminated UTF-8. All functions are thread-safe; calls on the
 * same session are serialised inside the library. No function throws.
 */
#ifndef QOR_PROXY_RESOLVER_H
#define QOR_PROXY_RESOLVER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QOR_PROXY_RESOLVER_BUILDING)
#define QOR_PROXY_RESOLVER_API __attribute__((visibility("default")))
#else
#define QOR_PROXY_RESOLVER_API
#endif

/* Result codes. */
enum {
  QOR_PROXY_RESOLVER_OK = 0,
  QOR_PROXY_RESOLVER_INVALID_ARGUMENT = 1, /* null or malformed text, null out pointer */
  QOR_PROXY_RESOLVER_UNKNOWN_SESSION = 2,  /* not a handle of an open session */
  QOR_PROXY_RESOLVER_NO_ALTERNATIVE = 3,   /* a failure was noted; the next answer is direct */
  QOR_PROXY_RESOLVER_TOO_MANY_SESSIONS = 4,
  QOR_PROXY_RESOLVER_INTERNAL_ERROR = 5, /* out of memory */
};

/* Most sessions open at once; OpenSession answers 0 beyond it. */
#define QOR_PROXY_RESOLVER_MAX_SESSIONS 1024

/* Loads the library up front (called through the delay loader). The resolver
 * needs no start-up of its own, so this does nothing else. */
QOR_PROXY_RESOLVER_API void QorProxyResolver_DelayLoadInitialize(void);
typedef void (*QorProxyResolver_DelayLoadInitialize_t)(void);

/* Opens a session for the caller named by `identity` (non-empty). Returns the
 * session handle, never 0 on success; 0 when the identity is null, empty or not
 * UTF-8, or when too many sessions are open. */
QOR_PROXY_RESOLVER_API uint32_t QorProxyResolver_OpenSession(const char* identity);
typedef uint32_t (*QorProxyResolver_OpenSession_t)(const char*);

/* Names the host that the next GetProxy answers for: a host name or address
 * without scheme, port or path; no spaces or control characters. */
QOR_PROXY_RESOLVER_API uint32_t QorProxyResolver_SetServer(uint32_t session, const char* server_host);
typedef uint32_t (*QorProxyResolver_SetServer_t)(uint32_t, const char*);

/* Sets *proxy to the proxy for the server last set: a URL or "host:port",
 * possibly with credentials, or "" (direct: no proxy configured, the server is
 * bypassed, or every proxy failed). The
 * text belongs to the session and stays valid until the next call on the same
 * session (or its close); copy it at once. *proxy is set to null on failure. */
QOR_PROXY_RESOLVER_API uint32_t QorProxyResolver_GetProxy(uint32_t session, const char** proxy);
typedef uint32_t (*QorProxyResolver_GetProxy_t)(uint32_t, const char**);

/* Reports that a request through the last proxy worked. */
QOR_PROXY_RESOLVER_API uint32_t QorProxyResolver_ProxySucceeded(uint32_t session);
typedef uint32_t (*QorProxyResolver_ProxySucceeded_t)(uint32_t);

/* Reports that a request through the last proxy failed. Answers
 * QOR_PROXY_RESOLVER_OK when another proxy is next, and
 * QOR_PROXY_RESOLVER_NO_ALTERNATIVE when the next answer is direct or there
 * is nothing to switch to (no proxies, bypassed server). */
QOR_PROXY_RESOLVER_API uint32_t QorProxyResolver_ProxyFailed(uint32_t session);
typedef uint32_t (*QorProxyResolver_ProxyFailed_t)(uint32_t);

/* Goes back to the first configured proxy; the session stays open. */
QOR_PROXY_RESOLVER_API uint32_t QorProxyResolver_Reset(uint32_t session);
typedef uint32_t (*QorProxyResolver_Reset_t)(uint32_t);

/* Closes the session; its handle becomes unknown. */
QOR_PROXY_RESOLVER_API uint32_t QorProxyResolver_CloseSession(uint32_t session);
typedef uint32_t (*QorProxyResolver_CloseSession_t)(uint32_t);

/* A static English text for a result code (never null). */
QOR_PROXY_RESOLVER_API const char* QorProxyResolver_ErrorAsString(uint32_t code);
typedef const char* (*QorProxyResolver_ErrorAsString_t)(uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* QOR_PROXY_RESOLVER_H */
