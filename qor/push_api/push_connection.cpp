#include "qor/push_api/push_connection.h"

#include <algorithm>
#include <memory>

#include "qor/client_auth/hv_qor_client_auth.h"
#include "qor/push_api/push_service.h"
#include "server/tls_config.h"

namespace qor_push {
namespace {

constexpr long kFirstBackoffMs = 1000;
constexpr long kMaxBackoffMs = 300000;
// A line longer than this is no event of the stream: the connection is dropped.
constexpr size_t kMaxPending = 1 << 20;

std::string BearerToken(const std::string& user) {
  char* raw = nullptr;
  if (QorClientAuth_GetBearerToken(user.c_str(), &raw) != QOR_CLIENT_AUTH_OK || raw == nullptr) return {};
  std::string token = raw;
  QorClientAuth_FreeString(raw);
  return token;
}

}  // namespace

PushConnection::PushConnection(PushService& service, std::string user, QorPushApi_Callback callback, void* context)
    : service_(service), user_(std::move(user)), callback_(callback), context_(context) {}

PushConnection::~PushConnection() {
  // Only the thread's own last hold gets here with the thread still joinable.
  if (thread_.joinable()) thread_.detach();
}

void PushConnection::Join() {
  if (thread_.joinable() && !OnOwnThread()) thread_.join();
}

bool PushConnection::Start() {
  try {
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void PushConnection::Stop() {
  stopping_.store(true);
  platform::MutexLock lock(mutex_);
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
  cv_.NotifyAll();
}

PushConnection::FirstOutcome PushConnection::WaitFirstOutcome(int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  platform::MutexLock lock(mutex_);
  while (first_ == FirstOutcome::kPending && cv_.WaitUntil(mutex_, deadline)) {
  }
  return first_;
}

void PushConnection::ReportFirst(FirstOutcome outcome) {
  platform::MutexLock lock(mutex_);
  if (first_ != FirstOutcome::kPending) return;
  first_ = outcome;
  cv_.NotifyAll();
}

bool PushConnection::Sleep(long ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  platform::MutexLock lock(mutex_);
  while (!stopping_.load() && cv_.WaitUntil(mutex_, deadline)) {
  }
  return !stopping_.load();
}

void PushConnection::Run() {
  long backoff = kFirstBackoffMs;
  bool refreshed = false;  // a 401 already asked for a new token
  while (!stopping_.load()) {
    const PushService::Endpoint endpoint = service_.CurrentEndpoint();
    const std::string token = endpoint.url.empty() ? std::string() : BearerToken(user_);
    Attempt attempt = Attempt::kFailed;
    if (!token.empty()) attempt = Connect(endpoint.url, token, endpoint.installation_root);
    if (attempt == Attempt::kStopped) break;
    if (attempt == Attempt::kUnauthorized && !refreshed) {
      refreshed = true;
      QorClientAuth_RefreshToken(user_.c_str());
      continue;
    }
    if (attempt == Attempt::kUnauthorized || attempt == Attempt::kRefused) {
      ReportFirst(FirstOutcome::kRefused);
    } else if (!delivered_) {
      ReportFirst(FirstOutcome::kFailed);
    }
    if (delivered_) {
      backoff = kFirstBackoffMs;
      refreshed = false;
    }
    // A random delay in the upper half of the back-off, so that the clients of
    // a restarted server do not all come back at once.
    const long delay = std::uniform_int_distribution<long>(backoff / 2, backoff)(random_);
    if (!Sleep(delay)) break;
    backoff = std::min(backoff * 2, kMaxBackoffMs);
  }
}

PushConnection::Attempt PushConnection::Connect(const std::string& url, const std::string& token,
                                                const std::string& installation_root) {
  const server_tls::TlsConfig tls = server_tls::LoadTlsConfig(installation_root);
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(), &curl_multi_cleanup);
  if (!easy || !multi) return Attempt::kFailed;
  const std::string authorization = "Authorization: Bearer " + token;
  curl_slist* headers = curl_slist_append(nullptr, authorization.c_str());
  headers = curl_slist_append(headers, "Accept: text/event-stream");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> header_list(headers, &curl_slist_free_all);
  CURL* h = easy.get();
  easy_ = h;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnData);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 0L);
  server_tls::ApplyTls(h, tls);
  buffer_.clear();
  event_.clear();
  data_.clear();
  delivered_ = false;
  curl_multi_add_handle(multi.get(), h);
  {
    platform::MutexLock lock(mutex_);
    multi_ = multi.get();
  }
  // The server sends a keep-alive every 15 s; silence beyond the limit is a
  // dead link. Checked here rather than by libcurl's speed limit, whose
  // once-a-second timer would wake every idle connection every second.
  using std::chrono::steady_clock;
  const auto silence = std::chrono::seconds(kSilenceLimit);
  last_data_ = steady_clock::now();
  int running = 1;
  CURLMcode multi_code = CURLM_OK;
  while (running > 0 && !stopping_.load() && multi_code == CURLM_OK) {
    multi_code = curl_multi_perform(multi.get(), &running);
    const auto quiet = steady_clock::now() - last_data_;
    if (quiet >= silence) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(silence - quiet).count() + 1;
    if (running > 0 && multi_code == CURLM_OK) {
      multi_code = curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(left), nullptr);
    }
  }
  {
    platform::MutexLock lock(mutex_);
    multi_ = nullptr;
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_multi_remove_handle(multi.get(), h);
  if (stopping_.load()) return Attempt::kStopped;
  if (status == 401) return Attempt::kUnauthorized;
  if (status == 403) return Attempt::kRefused;
  return delivered_ ? Attempt::kEnded : Attempt::kFailed;
}

size_t PushConnection::OnData(char* data, size_t size, size_t count, void* self) {
  auto* connection = static_cast<PushConnection*>(self);
  if (connection->stopping_.load()) return 0;
  connection->last_data_ = std::chrono::steady_clock::now();
  // Only a stream answer carries events; an error page is read and dropped.
  long status = 0;
  curl_easy_getinfo(connection->easy_, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) return size * count;
  connection->Feed(data, size * count);
  if (connection->buffer_.size() > kMaxPending) return 0;
  return size * count;
}

void PushConnection::Feed(const char* data, size_t size) {
  buffer_.append(data, size);
  size_t start = 0;
  for (size_t end; (end = buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string_view line(buffer_.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      Dispatch();
      continue;
    }
    if (line.front() == ':') continue;  // a comment: the keep-alive
    const size_t colon = line.find(':');
    const std::string_view field = line.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (field == "event") {
      event_ = value;
    } else if (field == "data") {
      if (!data_.empty()) data_ += '\n';
      data_ += value;
    }
  }
  buffer_.erase(0, start);
}

void PushConnection::Dispatch() {
  uint32_t kind = UINT32_MAX;
  if (event_ == "pns_id") kind = QOR_PUSH_API_KIND_PNS_ID;
  if (event_ == "message") kind = QOR_PUSH_API_KIND_MESSAGE;
  if (kind != UINT32_MAX && !data_.empty()) {
    if (!delivered_) {
      delivered_ = true;
      ReportFirst(FirstOutcome::kConnected);
    }
    if (!stopping_.load()) callback_(kind, data_.c_str(), context_);
  }
  event_.clear();
  data_.clear();
}

}  // namespace qor_push
