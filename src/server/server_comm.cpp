#include "server/server_comm.h"

#include <sys/random.h>

#include <algorithm>

#include "logging/log.h"
#include "server/http_request.h"
#include "server/http_session.h"
#include "platform/clock.h"
#include "store/settings.h"

namespace {

constexpr uint32_t kMaxResponseSize = 0x500000;  // 5 MiB
constexpr char kPathPrefix[] = "/velder/client-api/v3/clients/me/products/";
constexpr size_t kLoggedBodyLimit = 500;

// The first header named exactly "ETag"; its value as sent, quotes included.
std::string ResponseEtag(const HttpRequest& request) { return request.GetHeader("ETag"); }

std::string BodyText(const HttpRequest& request) {
  std::string text;
  request.GetBodyText(text);  // a body that is no text is handed on empty
  return text;
}

// The status words of a 200 answer whose document the hive could not take.
std::string RefusedDocument(const std::string& etag) {
  return etag.empty() ? "failed: settings without ETag" : "failed: the settings document was refused";
}

ServerResult ResultOfStatus(uint32_t status) {
  switch (status) {
    case 401: return ServerResult::Unauthorized;
    case 403:
    case 404: return ServerResult::NotFoundOrForbidden;
    case 429: return ServerResult::TooManyRequests;
    default: return ServerResult::Error;
  }
}

uint32_t UpdateErrorOfStatus(uint32_t status) {
  switch (status) {
    case 403:
    case 404: return Settings::kErrorNotFound;
    case 401: return Settings::kErrorUnauthorized;
    case 400:
    case 422: return Settings::kErrorRefused;
    case 429: return Settings::kErrorTooMany;
    default: return Settings::kErrorGeneral;
  }
}

}  // namespace

ServerComm::ServerComm(std::string identity, platform::ManualResetEvent& stop_event, std::string user_agent)
    : identity_(std::move(identity)),
      user_agent_(std::move(user_agent)),
      stop_event_(stop_event),
      session_(HttpSession::OpenSession(user_agent_, &stop_event_)) {
  if (session_ == nullptr) HV_LOG_ERROR("Failed to open the HTTP session");
}

ServerComm::~ServerComm() {
  // No completion may run once the verifier and the resolver are gone.
  if (session_ != nullptr) session_->CloseSession();
}

std::unique_ptr<ProxyResolver> ServerComm::CreateProxyResolver() { return std::make_unique<ProxyResolver>(identity_); }

ProxyResolver& ServerComm::GetProxyResolver() {
  if (proxy_resolver_ == nullptr) {
    HV_LOG_DEBUG("Creating proxy resolver");
    proxy_resolver_ = CreateProxyResolver();
  }
  return *proxy_resolver_;
}

void ServerComm::SetServerAddress(std::string host, uint16_t port) {
  HV_LOG_DEBUG("{}:{}", host, port);
  platform::MutexLock lock(address_mutex_);
  host_ = std::move(host);
  port_ = port;
}

std::string ServerComm::host() const {
  platform::MutexLock lock(address_mutex_);
  return host_;
}

uint16_t ServerComm::port() const {
  platform::MutexLock lock(address_mutex_);
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

std::unique_ptr<HttpRequest> ServerComm::PrepareRequest(const std::string& token, const std::string& product,
                                                        RequestKind kind, const std::string& host, uint16_t port) {
  auto request = HttpRequest::Create(*session_);
  request->SetServer(host, port, true);
  std::string proxy;
  GetProxyResolver().GetProxy(proxy, host);
  request->SetProxy(proxy, "");
  request->SetMaxResponseSize(kMaxResponseSize);
  verifier_.PrepareRequest(*request);
  std::string path = kPathPrefix + product;
  switch (kind) {
    case RequestKind::SettingsFetch:
      path += "/settings";
      request->SetMethod(HttpMethod::Get);
      break;
    case RequestKind::SettingsUpload:
      path += "/settings?return-data=true";
      request->SetMethod(HttpMethod::Patch);
      break;
    case RequestKind::NodeUpdate:
      path += "/node";
      request->SetMethod(HttpMethod::Patch);
      break;
  }
  request->SetPath(std::move(path));
  request->AddHeader("Content-Type", "application/json; charset=UTF-8");
  request->AddHeader("Accept", "application/json");
  request->AddHeader("Authorization", "Bearer " + token);
  request->AddTransactionId();
  return request;
}

bool ServerComm::ExecuteRequest(HttpRequest& request, Settings& hive) {
  if (stop_event_.IsSet()) return false;
  platform::ManualResetEvent done;
  request.Start([&done](HttpRequest&) { done.Set(); });
  if (platform::WaitForAny({&stop_event_, &done}, std::chrono::milliseconds(-1)) == 0) {
    request.Cancel();
    done.Wait();
  }
  request.WaitForCompletion();  // `done` must outlive the completion that sets it
  return ProcessStatus(request, hive);
}

bool ServerComm::ProcessStatus(HttpRequest& request, Settings& hive) {
  const HttpResult result = request.GetResult();
  const uint32_t status = request.GetStatus();
  if (result == HttpResult::Ok || result == HttpResult::Cancelled || status == 412) {
    fail_count_.store(0);
  } else if (result == HttpResult::SecureFailure) {
    fail_count_.store(kFatalFailCount);
  } else if (status != 403 && status != 404) {
    uint32_t count = fail_count_.load();
    // Saturate: a count that wrapped to 0 would end the back-off.
    while (count != UINT32_MAX && !fail_count_.compare_exchange_weak(count, count + 1)) {
    }
  }
  UpdateBackoffUntil(hive);
  if (fail_count_.load() != 0) {
    HV_LOG_WARNING("Reporting proxy failed");
    GetProxyResolver().ProxyFailed();
  }
  if (result != HttpResult::Ok) return false;
  HV_LOG_DEBUG("Reporting proxy succeeded");
  GetProxyResolver().ProxySucceeded();
  return true;
}

ServerResult ServerComm::ReportFailure(HttpRequest& request, Settings& hive) {
  const uint32_t status = request.GetStatus();
  const auto level = status == 404 ? HvQorLogging::kInformation : HvQorLogging::kError;
  HV_LOG(level, "Failed '{}': {}", hive.display_name(), request.GetErrorText());
  if (request.GetResult() == HttpResult::HttpError) {
    std::string body = BodyText(request);
    if (body.size() > kLoggedBodyLimit) body.resize(kLoggedBodyLimit);
    HV_LOG(level, "{}", body);
  }
  last_result_ = "failed: " + request.GetErrorText();
  const bool stopped = request.GetResult() == HttpResult::Cancelled && stop_event_.IsSet();
  // A request ended by the service's stop is no answer of the server: the
  // hive keeps its schedule and its pending upload for the next start.
  if (!stopped) hive.UpdateFinishError(UpdateErrorOfStatus(status));
  return request.GetResult() == HttpResult::HttpError ? ResultOfStatus(status) : ServerResult::Error;
}

ServerResult ServerComm::UpdateWithPatch(Settings& hive, const std::string& token, const std::string& product,
                                         const std::string& etag, const std::string& body) {
  auto request = PrepareRequest(token, product, RequestKind::SettingsUpload, host(), port());
  request->AddHeader("If-Match", etag);
  request->SetBody(body);
  if (!ExecuteRequest(*request, hive)) {
    if (request->GetStatus() == 412) {
      HV_LOG_INFO("HTTP 412 '{}' - txid: {}", hive.display_name(), request->GetTransactionId());
      return ServerResult::PreconditionFailed;
    }
    return ReportFailure(*request, hive);
  }
  const uint32_t status = request->GetStatus();
  HV_LOG_INFO("HTTP {} '{}' - txid: {}", status, hive.display_name(), request->GetTransactionId());
  if (status == 200) {
    const std::string etag_received = ResponseEtag(*request);
    const bool taken = hive.UpdateFinishData(BodyText(*request), etag_received, true);
    last_result_ = taken ? "changes uploaded, settings received" : RefusedDocument(etag_received);
    return taken ? ServerResult::Updated : ServerResult::Error;
  }
  if (status == 204) {
    hive.UpdateFinishUpToDate(true);
    last_result_ = "changes uploaded";
    return ServerResult::UpToDate;
  }
  hive.UpdateFinishError(Settings::kErrorGeneral);
  last_result_ = "unexpected answer: HTTP " + std::to_string(status);
  return ServerResult::Error;
}

ServerResult ServerComm::UpdateWithGet(Settings& hive, const std::string& token, const std::string& product,
                                       const std::string& etag) {
  auto request = PrepareRequest(token, product, RequestKind::SettingsFetch, host(), port());
  if (!etag.empty()) request->AddHeader("If-None-Match", etag);
  if (!ExecuteRequest(*request, hive)) return ReportFailure(*request, hive);
  const uint32_t status = request->GetStatus();
  HV_LOG_INFO("HTTP {} '{}' - txid: {}", status, hive.display_name(), request->GetTransactionId());
  if (status == 200) {
    const std::string etag_received = ResponseEtag(*request);
    const bool taken = hive.UpdateFinishData(BodyText(*request), etag_received, false);
    last_result_ = taken ? "settings received" : RefusedDocument(etag_received);
    return taken ? ServerResult::Updated : ServerResult::Error;
  }
  if (status == 304) {
    hive.UpdateFinishUpToDate(false);
    last_result_ = "up to date";
    return ServerResult::UpToDate;
  }
  hive.UpdateFinishError(Settings::kErrorGeneral);
  last_result_ = "unexpected answer: HTTP " + std::to_string(status);
  return ServerResult::Error;
}

bool ServerComm::UpdatePnsId(Settings& hive, const std::string& token, const std::string& product,
                             const std::string& body, const std::string& pns_id) {
  auto request = PrepareRequest(token, product, RequestKind::NodeUpdate, host(), port());
  request->SetBody(body);
  if (!ExecuteRequest(*request, hive)) {
    HV_LOG_ERROR("Failed '{}': {}", hive.display_name(), request->GetErrorText());
    if (request->GetResult() == HttpResult::HttpError) {
      std::string text = BodyText(*request);
      if (text.size() > kLoggedBodyLimit) text.resize(kLoggedBodyLimit);
      HV_LOG_ERROR("{}", text);
    }
    if (!stop_event_.IsSet()) hive.UpdateFinishError(Settings::kErrorGeneral);
    return false;
  }
  HV_LOG_INFO("HTTP {} '{}' - txid: {}", request->GetStatus(), hive.display_name(), request->GetTransactionId());
  hive.UpdateEffectivePnsId(pns_id);
  return true;
}

ServerResult ServerComm::UpdateSettings(Settings& hive, const std::string& token) {
  const std::string server = host();
  if (server.empty()) {
    HV_LOG_FATAL("No server address");
    fail_count_.store(kFatalFailCount);
    UpdateBackoffUntil(hive);
    last_result_ = "no server address configured";
    return ServerResult::Error;
  }
  // A stopping service sends nothing and leaves the failure count alone.
  if (stop_event_.IsSet() || session_ == nullptr) return ServerResult::Error;

  const std::string etag = hive.GetEtag();
  const std::string body = hive.UpdateStart();
  std::string product = hive.GetProduct();
  if (product.empty()) product = "any";

  ServerResult result = ServerResult::PreconditionFailed;
  const bool upload = hive.patch_enabled() && !body.empty() && !etag.empty();
  if (upload) result = UpdateWithPatch(hive, token, product, etag, body);
  if (result == ServerResult::PreconditionFailed) {
    result = UpdateWithGet(hive, token, product, etag);
    // The upload met a newer document (412), which has just arrived: the
    // local change goes up against its tag now, once per exchange, instead of
    // waiting for the next poll. A second 412 fetches again and stops.
    const std::string fresh_etag = hive.GetEtag();
    if (upload && result == ServerResult::Updated && !fresh_etag.empty() && fresh_etag != etag) {
      const std::string again = hive.UpdateStart();
      if (!again.empty()) {
        result = UpdateWithPatch(hive, token, product, fresh_etag, again);
        if (result == ServerResult::PreconditionFailed) result = UpdateWithGet(hive, token, product, fresh_etag);
      }
    }
  }

  if (result == ServerResult::Updated || result == ServerResult::UpToDate) {
    std::string pns_body;
    std::string pns_id;
    hive.GetPendingPnsId(pns_body, pns_id);
    if (!pns_id.empty()) UpdatePnsId(hive, token, product, pns_body, pns_id);
  }
  return result;
}
