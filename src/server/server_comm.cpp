#include "server/server_comm.h"

#include <sys/random.h>

#include <algorithm>

#include "logging/log.h"
#include "platform/clock.h"
#include "server/http_session.h"
#include "server/ky_cert_verifier.h"
#include "server/proxy_resolver.h"
#include "store/settings.h"

ServerComm::ServerComm(std::string identity, platform::ManualResetEvent& stop_event, std::string user_agent)
    : identity_(std::move(identity)),
      user_agent_(std::move(user_agent)),
      stop_event_(stop_event),
      cert_verifier_(std::make_unique<KyCertVerifier>()),
      session_(HttpSession::OpenSession(user_agent_, &stop_event_)) {}

ServerComm::~ServerComm() {
  if (session_) session_->CloseSession();
}

std::unique_ptr<ProxyResolver> ServerComm::CreateProxyResolver() { return std::make_unique<ProxyResolver>(identity_); }

ProxyResolver& ServerComm::GetProxyResolver() {
  if (!proxy_resolver_) {
    HV_LOG_DEBUG("Creating proxy resolver");
    proxy_resolver_ = CreateProxyResolver();
  }
  return *proxy_resolver_;
}

void ServerComm::SetServerAddress(std::string host, uint16_t port) {
  HV_LOG_DEBUG("{}:{}", host, port);
  std::lock_guard lock(address_mutex_);
  host_ = std::move(host);
  port_ = port;
}

std::string ServerComm::host() const {
  std::lock_guard lock(address_mutex_);
  return host_;
}

uint16_t ServerComm::port() const {
  std::lock_guard lock(address_mutex_);
  return port_;
}

void ServerComm::ResetFailCount() {
  HV_LOG_DEBUG("Reset fail count request");
  fail_count_.store(0);
  backoff_until_.store(platform::CurrentClock().NowSeconds());
}

uint32_t ServerComm::BackoffSeconds(uint32_t fail_count, uint32_t poll_interval, uint32_t r) {
  if (fail_count == 0) return 0;
  uint32_t cap = 10;
  for (uint32_t i = 1; i < fail_count && (cap & 0x80000000u) == 0; ++i) cap <<= 1;
  const uint32_t limit = std::clamp(poll_interval, kMinBackoffLimit, kMaxBackoffLimit);
  cap = std::min(cap, limit);
  if (cap == 0) return 0;
  return r % cap + 1;
}

uint32_t ServerComm::SecureRandom() {
  uint32_t r = 0;
  if (::getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) return kFallbackRandom;
  return r;
}

void ServerComm::UpdateBackoffUntil(Settings& hive) {
  const uint32_t failures = fail_count_.load();
  // Only the low 32 bits of the poll interval count, as the limit is clamped
  // to 7200 seconds anyway.
  const auto poll_interval = static_cast<uint32_t>(static_cast<uint64_t>(hive.poll_interval()));
  const uint32_t backoff = BackoffSeconds(failures, poll_interval, failures == 0 ? 0 : SecureRandom());
  if (backoff != 0) HV_LOG_DEBUG("Server backoff: {}s", backoff);
  backoff_until_.store(platform::CurrentClock().NowSeconds() + backoff);
}

void ServerComm::CountFailure(Settings& hive) {
  uint32_t count = fail_count_.load();
  // Saturate: a count that wrapped to 0 would end the back-off.
  while (count != UINT32_MAX && !fail_count_.compare_exchange_weak(count, count + 1)) {
  }
  UpdateBackoffUntil(hive);
}

ServerResult ServerComm::UpdateSettings(Settings& hive, const std::string& token) {
  std::string host;
  uint16_t port;
  {
    std::lock_guard lock(address_mutex_);
    host = host_;
    port = port_;
  }
  if (host.empty()) {
    HV_LOG_FATAL("No server address");
    fail_count_.store(kFatalFailCount);
    UpdateBackoffUntil(hive);
    return ServerResult::Error;
  }
  // A stopping service sends nothing and leaves the failure count alone.
  if (stop_event_.IsSet()) return ServerResult::Error;
  (void)token;

  // This build has no HTTP client, so no exchange can be made: the attempt
  // counts as a failed request, which backs off (growing up to the hive's
  // clamped poll interval) instead of retrying at once.
  HV_LOG_ERROR("No HTTP exchange with '{}:{}' for hive '{}': this build has no HTTP client", host, port,
               hive.display_name());
  CountFailure(hive);
  return ServerResult::Error;
}
