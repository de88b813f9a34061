// The connection to the settings server: where it is, how often the last
// exchanges failed in a row, and until when no exchange should be tried.
//
// The settings manager owns one ServerComm. Its update thread calls
// SetServerAddress before every exchange (with the system settings
// "windows.velder.server" and "windows.velder.port") and then UpdateSettings
// for one hive at a time. A request thread may call ResetFailCount when a
// client asks for an immediate update, and the update thread's wait
// computation reads backoff_until(); the failure count and the back-off time
// are therefore atomics, never guarded by a lock.
//
// Back-off: after n consecutive failures the next exchange waits a random
// 1 ... min(10 * 2^(n-1), limit) seconds, where the limit is the hive's poll
// interval clamped to 10 ... 7200 seconds. The count alone decides it; nothing
// the server sends does.
//
// Every request goes over the session opened at construction: the proxy the
// resolver names, bodies up to 5 MiB, the pinned certificates when there are
// any, the headers Content-Type, Accept, Authorization and X-Transaction in
// that order. Waiting for a request never holds a hive lock; the stop event
// cancels it at once.
//
// Threads: UpdateSettings, SetServerAddress and UpdateBackoffUntil run on the
// update thread; ResetFailCount, backoff_until() and fail_count() on any
// thread. address_mutex_ guards the host and port (read by other threads only
// for diagnostics).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <memory>

#include "platform/manual_reset_event.h"
#include "platform/mutex.h"
#include "server/ky_cert_verifier.h"
#include "server/proxy_resolver.h"

class HttpRequest;
class HttpSession;
class Settings;

// Outcome of one exchange with the server for one hive.
enum class ServerResult : uint32_t {
  Updated = 0,              // the server sent settings (200)
  UpToDate = 1,             // nothing new: 204 after an upload, 304 after a fetch
  PreconditionFailed = 2,   // the upload's etag was stale (412); fetch instead
  Unauthorized = 3,         // 401: the bearer token was refused
  NotFoundOrForbidden = 4,  // 403 or 404
  TooManyRequests = 5,      // 429
  Error = 6,                // anything else, including no server address and a cancelled exchange
};

class ServerComm {
 public:
  static constexpr uint16_t kDefaultPort = 443;
  // The failure count after a failure that retrying soon cannot cure (no
  // server address, a failed TLS handshake): back-off up to 5120 seconds.
  static constexpr uint32_t kFatalFailCount = 10;
  // Bounds of the back-off limit taken from the hive's poll interval.
  static constexpr uint32_t kMinBackoffLimit = 10;
  static constexpr uint32_t kMaxBackoffLimit = 7200;
  // The random number used when the system's secure generator fails.
  static constexpr uint32_t kFallbackRandom = 0xAAAAAAAA;

  // `stop_event` is the plug-in's and must outlive this object; it ends a
  // running exchange. `user_agent` names the service in every request.
  ServerComm(std::string identity, platform::ManualResetEvent& stop_event, std::string user_agent);
  virtual ~ServerComm();
  ServerComm(const ServerComm&) = delete;
  ServerComm& operator=(const ServerComm&) = delete;

  // Where the server is; an empty host means there is none.
  void SetServerAddress(std::string host, uint16_t port) EXCLUDES(address_mutex_);

  // One exchange for `hive` with the bearer token `token`. Without a server
  // address this is a failure that backs off for long (fail count 10).
  virtual ServerResult UpdateSettings(Settings& hive, const std::string& token) EXCLUDES(address_mutex_);

  // The upload, the fetch and the report of the push id (see UpdateSettings).
  ServerResult UpdateWithPatch(Settings& hive, const std::string& token, const std::string& product,
                               const std::string& etag, const std::string& body);
  ServerResult UpdateWithGet(Settings& hive, const std::string& token, const std::string& product,
                             const std::string& etag);
  bool UpdatePnsId(Settings& hive, const std::string& token, const std::string& product, const std::string& body,
                   const std::string& pns_id);

  // Forgets the failures: the next exchange may start at once.
  void ResetFailCount();

  // Recomputes the back-off time from the failure count and `hive`'s poll
  // interval; stores now + the back-off (now itself when there is none).
  void UpdateBackoffUntil(Settings& hive);

  // Seconds since 1970 before which no exchange should be made.
  int64_t backoff_until() const { return backoff_until_.load(); }
  uint32_t fail_count() const { return fail_count_.load(); }
  std::string host() const EXCLUDES(address_mutex_);
  uint16_t port() const EXCLUDES(address_mutex_);
  const std::string& identity() const { return identity_; }
  const std::string& user_agent() const { return user_agent_; }
  // The HTTP session of every exchange; null when libcurl could not be set up
  // (every exchange then fails).
  HttpSession* http_session() const { return session_.get(); }
  // The pinned certificates; prepares every request.
  KyCertVerifier& cert_verifier() { return verifier_; }
  // The proxy resolver, created by the first call (update thread only).
  ProxyResolver& GetProxyResolver();
  // The outcome of the last exchange in words ("settings received",
  // "failed: HTTP 503 - txid: ..."); update thread only.
  const std::string& last_result() const { return last_result_; }

  // The back-off in seconds for `fail_count` failures, a back-off limit (the
  // poll interval's low 32 bits) and a random number `r`: 0 without failures,
  // else (r mod cap) + 1 with cap = min(10 * 2^(n-1), clamped limit).
  static uint32_t BackoffSeconds(uint32_t fail_count, uint32_t poll_interval, uint32_t r);

 protected:
  // What a request is for: the path and the method follow from it.
  enum class RequestKind { SettingsFetch, SettingsUpload, NodeUpdate };

  // A new proxy resolver whose session is named by the identity.
  virtual std::unique_ptr<ProxyResolver> CreateProxyResolver();
  // A request to the server, ready but for its body and conditional header.
  std::unique_ptr<HttpRequest> PrepareRequest(const std::string& token, const std::string& product, RequestKind kind,
                                              const std::string& host, uint16_t port);
  // Runs `request` until it ends or the stop event is set (then cancels it),
  // and counts the outcome. True when it classified as Ok.
  bool ExecuteRequest(HttpRequest& request, Settings& hive);
  // The failure count and back-off after a finished request; reports the
  // proxy's outcome. True when the request classified as Ok.
  bool ProcessStatus(HttpRequest& request, Settings& hive);
  // Logs a failed request and tells the hive.
  ServerResult ReportFailure(HttpRequest& request, Settings& hive);

  // A 32-bit number from the system's secure generator; kFallbackRandom when
  // that fails. Virtual so that tests can choose the draw.
  virtual uint32_t SecureRandom();
  void SetFailCount(uint32_t count) { fail_count_.store(count); }

 private:
  const std::string identity_;
  const std::string user_agent_;
  platform::ManualResetEvent& stop_event_;  // the plug-in's; only waited for

  mutable platform::Mutex address_mutex_;
  std::string host_ GUARDED_BY(address_mutex_);
  uint16_t port_ GUARDED_BY(address_mutex_) = kDefaultPort;

  std::atomic<uint32_t> fail_count_{0};
  std::atomic<int64_t> backoff_until_{0};

  // Used by the update thread only. Destroyed in reverse order, but the
  // destructor closes the session first, which waits until no request
  // completion can run any more.
  std::unique_ptr<ProxyResolver> proxy_resolver_;  // made by the first request
  KyCertVerifier verifier_;
  std::unique_ptr<HttpSession> session_;
  std::string last_result_;
};
