#include "server/http_request.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/random.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "logging/log.h"
#include "platform/proxy_bypass.h"
#include "server/http_session.h"

namespace {

constexpr char kAsyncGeneric[] = "AsyncGeneric";
constexpr char kAsyncSendRequest[] = "AsyncSendRequest";
constexpr char kAsyncReceiveResponse[] = "AsyncReceiveResponse";
constexpr char kAsyncReadData[] = "AsyncReadData";
constexpr char kCertVerifierCallback[] = "CertVerifierCallback";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

const char* HttpResultName(HttpResult result) {
  switch (result) {
    case HttpResult::Ok: return "Ok";
    case HttpResult::Cancelled: return "Cancelled";
    case HttpResult::HttpError: return "HttpError";
    case HttpResult::Failed: return "Failed";
    case HttpResult::TimedOut: return "TimedOut";
    case HttpResult::SecureFailure: return "SecureFailure";
  }
  return "Unknown";
}

// The libcurl side of a request. Apart from the handle itself, everything here
// belongs to the driver thread while the request runs.
struct HttpRequest::Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string url;
  std::string user_agent;
  std::shared_ptr<const CertVerifier> verifier;  // the pins of this run
  uint32_t max_body = kDefaultMaxResponseSize;
  uint32_t send_timeout_ms = 0;
  uint32_t receive_timeout_ms = 0;
  curl_off_t upload_size = 0;

  bool connected = false;          // the connection to the server is up (through any proxy)
  bool headers_available = false;  // the server's response began
  std::vector<std::string> header_lines;
  int64_t last_activity_ms = 0;
  curl_off_t last_down = 0;
  curl_off_t last_up = 0;

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
  void ResetProgress() {
    connected = false;
    headers_available = false;
    header_lines.clear();
    last_activity_ms = NowMs();
    last_down = last_up = 0;
  }
};

// The libcurl callbacks of a request; `user` is the HttpRequest. All run on
// the session's driver thread.
struct HttpRequestCallbacks {
  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* request = static_cast<HttpRequest*>(user);
    HttpRequest::Transfer& t = *request->transfer_;
    t.last_activity_ms = NowMs();
    if (HttpRequest::AddHeaderLine(t.header_lines, std::string_view(data, size * count)) && t.connected) {
      t.headers_available = true;
    }
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* request = static_cast<HttpRequest*>(user);
    const size_t n = size * count;
    std::vector<uint8_t>& body = request->response_body_;
    request->transfer_->last_activity_ms = NowMs();
    if (body.size() + n > request->transfer_->max_body) {
      {
        platform::MutexLock lock(request->mutex_);
        request->RecordError(http_error::kNotEnoughMemory, kAsyncReadData);
      }
      std::vector<uint8_t>().swap(body);
      return 0;  // aborts the transfer
    }
    body.insert(body.end(), data, data + n);
    return n;
  }

  static int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    HttpRequest::Transfer& t = *static_cast<HttpRequest*>(user)->transfer_;
    if (down != t.last_down || up != t.last_up) {
      t.last_down = down;
      t.last_up = up;
      t.last_activity_ms = NowMs();
    }
    return 0;
  }

  // The connection is up (TCP, proxy tunnel and TLS); the request goes next.
  static int OnConnected(void* user, char*, char*, int, int) {
    HttpRequest::Transfer& t = *static_cast<HttpRequest*>(user)->transfer_;
    t.connected = true;
    t.last_activity_ms = NowMs();
    return CURL_PREREQFUNC_OK;
  }

  // Pinned requests: the leaf certificate alone decides, inside the handshake.
  static int OnVerifyCertificate(X509_STORE_CTX* store, void* user) {
    auto* request = static_cast<HttpRequest*>(user);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    bool accepted = false;
    if (leaf) {
      unsigned char* der = nullptr;
      const int size = i2d_X509(leaf, &der);
      if (size > 0) {
        const auto& verifier = request->transfer_->verifier;
        accepted = verifier && *verifier && (*verifier)(der, static_cast<size_t>(size));
      }
      OPENSSL_free(der);
    }
    if (!accepted) {
      X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
      platform::MutexLock lock(request->mutex_);
      request->RecordError(http_error::kSecureFailure, kCertVerifierCallback);
    }
    return accepted ? 1 : 0;
  }

  static CURLcode OnSslContext(CURL*, void* ssl_ctx, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, &OnVerifyCertificate, user);
    return CURLE_OK;
  }
};

std::unique_ptr<HttpRequest> HttpRequest::Create(HttpSession& session) {
  return std::unique_ptr<HttpRequest>(new HttpRequest(session));
}

HttpRequest::HttpRequest(HttpSession& session) : session_(session), transfer_(std::make_unique<Transfer>()) {}

HttpRequest::~HttpRequest() {
  Cancel();
  WaitForCompletion();
}

void HttpRequest::WaitForCompletion() {
  platform::MutexLock lock(mutex_);
  while (running_) finished_cv_.Wait(mutex_);
}

void HttpRequest::SetServer(std::string host, uint16_t port, bool secure) {
  platform::MutexLock lock(mutex_);
  host_ = std::move(host);
  port_ = port;
  secure_ = secure;
}

void HttpRequest::SetPath(std::string path) {
  platform::MutexLock lock(mutex_);
  path_ = std::move(path);
}

void HttpRequest::SetMethod(HttpMethod method) {
  platform::MutexLock lock(mutex_);
  method_ = static_cast<uint32_t>(method) <= 5 ? method : HttpMethod::Get;
}

void HttpRequest::SetBody(std::string body) {
  platform::MutexLock lock(mutex_);
  body_ = std::move(body);
}

void HttpRequest::SetMaxResponseSize(uint32_t bytes) {
  platform::MutexLock lock(mutex_);
  max_response_size_ = bytes;
}

void HttpRequest::SetTimeouts(uint32_t connect_ms, uint32_t send_ms, uint32_t receive_ms) {
  platform::MutexLock lock(mutex_);
  connect_timeout_ms_ = connect_ms;
  send_timeout_ms_ = send_ms;
  receive_timeout_ms_ = receive_ms;
}

void HttpRequest::SetCertVerifier(CertVerifier verifier) {
  platform::MutexLock lock(mutex_);
  if (verifier) {
    cert_verifier_ = std::make_shared<const CertVerifier>(std::move(verifier));
  } else {
    cert_verifier_.reset();
  }
}

void HttpRequest::SetCaFile(std::string path) {
  platform::MutexLock lock(mutex_);
  ca_file_ = std::move(path);
}

bool HttpRequest::AddHeader(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c == 0x7f || c == ':') return false;
  }
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  platform::MutexLock lock(mutex_);
  headers_.push_back(std::string(name) + ": " + std::string(value));
  return true;
}

bool HttpRequest::AddTransactionId() {
  platform::MutexLock lock(mutex_);
  if (!transaction_id_.empty()) return false;
  uint32_t r[2];
  if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) return false;
  transaction_id_ = fmt::format("0000-{:08x}{:08x}", r[0], r[1]);
  headers_.push_back(std::string(kTransactionHeader) + ": " + transaction_id_);
  return true;
}

void HttpRequest::SetProxy(std::string_view proxy, std::string_view bypass) {
  std::string url(proxy);
  if (!url.empty() && url.find("://") == std::string::npos) url = "http://" + url;

  std::string clean, user, password;
  if (!url.empty()) {
    CURLU* u = curl_url();
    char* host = nullptr;
    if (u && curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host) {
      char* part = nullptr;
      if (curl_url_get(u, CURLUPART_USER, &part, CURLU_URLDECODE) == CURLUE_OK && part) user = part;
      curl_free(part);
      part = nullptr;
      if (curl_url_get(u, CURLUPART_PASSWORD, &part, CURLU_URLDECODE) == CURLUE_OK && part) password = part;
      curl_free(part);
      part = nullptr;
      curl_url_set(u, CURLUPART_USER, nullptr, 0);
      curl_url_set(u, CURLUPART_PASSWORD, nullptr, 0);
      if (curl_url_get(u, CURLUPART_URL, &part, 0) == CURLUE_OK && part) {
        clean = part;
        // A proxy has no path: "http://proxy:3128/" is said "http://proxy:3128".
        if (clean.ends_with('/') && clean.find('/', clean.find("://") + 3) == clean.size() - 1) clean.pop_back();
      }
      curl_free(part);
    }
    curl_free(host);
    curl_url_cleanup(u);
  }
  if (clean.empty()) user.clear(), password.clear();

  std::string list(bypass);
  if (list.empty()) {
    list = kLocalBypass;
  } else if (list.find(kLocalBypass) == std::string::npos) {
    list += ";";
    list += kLocalBypass;
  }

  platform::MutexLock lock(mutex_);
  proxy_ = std::move(clean);
  proxy_user_ = std::move(user);
  proxy_password_ = std::move(password);
  proxy_bypass_ = std::move(list);
}

bool HttpRequest::BypassesProxy(std::string_view host, std::string_view bypass) {
  return platform::MatchesProxyBypass(host, bypass);
}

bool HttpRequest::SplitHeader(std::string_view line, std::string& name, std::string& value) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  size_t start = colon + 1;
  while (start < line.size() && line[start] == ' ') ++start;
  if (start == line.size()) return false;
  name.assign(line.substr(0, colon));
  value.assign(line.substr(start));
  return true;
}

bool HttpRequest::AddHeaderLine(std::vector<std::string>& lines, std::string_view raw) {
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.remove_suffix(1);
  // A new response (after an interim one or the proxy's answer to CONNECT):
  // only the last one's lines are kept.
  const bool status_line = raw.starts_with("HTTP/");
  if (status_line) lines.clear();
  if (!raw.empty()) lines.emplace_back(raw);
  return status_line;
}

int64_t HttpRequest::ParseContentLength(const std::vector<std::string>& lines) {
  std::string name, value;
  for (const std::string& line : lines) {
    if (SplitHeader(line, name, value) && strcasecmp(name.c_str(), "Content-Length") == 0) {
      char* end = nullptr;
      errno = 0;
      const long long n = std::strtoll(value.c_str(), &end, 10);
      return (errno == 0 && end != value.c_str() && n >= 0) ? n : -1;
    }
  }
  return -1;
}

bool HttpRequest::IsBodyText(const std::vector<uint8_t>& body) {
  return std::all_of(body.begin(), body.end(),
                     [](uint8_t b) { return b == 9 || b == 10 || b == 13 || (b >= 0x1F && b <= 0xF5); });
}

bool HttpRequest::ShouldResend(uint32_t error, uint32_t secure_flags, uint32_t send_count) {
  if (error == http_error::kResendRequest) return send_count < kMaxResendSends;
  if (error == http_error::kSecureFailure && secure_flags == http_error::kSecureFlagChannelError) {
    return send_count < kMaxSecureSends;
  }
  return false;
}

void HttpRequest::RecordError(uint32_t error, const char* function, uint32_t secure_flags) {
  if (error_ != http_error::kNone) return;
  error_ = error;
  error_function_ = function;
  if (error == http_error::kSecureFailure) secure_failure_flags_ = secure_flags;
}

void HttpRequest::ResetResponse() {
  error_ = http_error::kNone;
  error_function_.clear();
  status_ = 0;
  secure_failure_flags_ = 0;
  headers_available_ = false;
  response_body_.clear();
  response_headers_.clear();
  send_count_ = 0;
  auth_scheme_ = 0;
  content_length_ = -1;
}

// Sets every option of the handle for one send. False (and an error
// recorded) when libcurl refuses one.
bool HttpRequest::PrepareTransfer() {
  Transfer& t = *transfer_;
  if (!t.easy) t.easy = curl_easy_init();
  if (!t.easy) {
    RecordError(http_error::kNotEnoughMemory, "curl_easy_init");
    return false;
  }
  CURL* e = t.easy;
  curl_easy_reset(e);
  curl_slist_free_all(t.headers);
  t.headers = nullptr;
  t.ResetProgress();
  t.max_body = max_response_size_;
  t.send_timeout_ms = send_timeout_ms_;
  t.receive_timeout_ms = receive_timeout_ms_;
  t.verifier = secure_ ? cert_verifier_ : nullptr;
  t.user_agent = session_.user_agent();

  // The URL, built by libcurl so that a host or path that would change its
  // meaning is refused rather than sent.
  {
    CURLU* u = curl_url();
    const std::string port = std::to_string(port_);
    const std::string path = path_.empty() ? "/" : path_;
    const size_t q = path.find('?');
    const std::string query = q == std::string::npos ? "" : path.substr(q + 1);
    const std::string host = host_.find(':') != std::string::npos && !host_.starts_with('[') ? "[" + host_ + "]" : host_;
    char* url = nullptr;
    const bool ok = u && !host_.empty() && path.starts_with('/') &&
                    curl_url_set(u, CURLUPART_SCHEME, secure_ ? "https" : "http", 0) == CURLUE_OK &&
                    curl_url_set(u, CURLUPART_HOST, host.c_str(), 0) == CURLUE_OK &&
                    curl_url_set(u, CURLUPART_PORT, port.c_str(), 0) == CURLUE_OK &&
                    curl_url_set(u, CURLUPART_PATH, path.substr(0, q).c_str(), 0) == CURLUE_OK &&
                    (q == std::string::npos || curl_url_set(u, CURLUPART_QUERY, query.c_str(), 0) == CURLUE_OK) &&
                    curl_url_get(u, CURLUPART_URL, &url, 0) == CURLUE_OK;
    if (ok) t.url = url;
    curl_free(url);
    curl_url_cleanup(u);
    if (!ok) {
      RecordError(http_error::kInvalidUrl, "curl_url_set");
      return false;
    }
  }

  bool ok = true;
  auto set = [&](CURLoption option, auto value) { ok = ok && curl_easy_setopt(e, option, value) == CURLE_OK; };
  set(CURLOPT_URL, t.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PRIVATE, static_cast<void*>(this));
  set(CURLOPT_USERAGENT, t.user_agent.c_str());
  set(CURLOPT_HEADERFUNCTION, &HttpRequestCallbacks::OnHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &HttpRequestCallbacks::OnBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &HttpRequestCallbacks::OnProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
  set(CURLOPT_PREREQFUNCTION, &HttpRequestCallbacks::OnConnected);
  set(CURLOPT_PREREQDATA, static_cast<void*>(this));
  // 0 means no limit here; libcurl would take it for its own default.
  set(CURLOPT_CONNECTTIMEOUT_MS, connect_timeout_ms_ == 0 ? 0x7fffffffL : static_cast<long>(connect_timeout_ms_));
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));

  t.upload_size = 0;
  switch (method_) {
    case HttpMethod::Head: set(CURLOPT_NOBODY, 1L); break;
    case HttpMethod::Get: set(CURLOPT_HTTPGET, 1L); break;
    case HttpMethod::Delete: set(CURLOPT_CUSTOMREQUEST, "DELETE"); break;
    case HttpMethod::Put:
    case HttpMethod::Post:
    case HttpMethod::Patch:
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
      set(CURLOPT_POSTFIELDS, body_.data());
      set(CURLOPT_CUSTOMREQUEST, method_ == HttpMethod::Put ? "PUT" : method_ == HttpMethod::Post ? "POST" : "PATCH");
      t.upload_size = static_cast<curl_off_t>(body_.size());
      break;
  }

  bool has_content_type = false;
  for (const std::string& h : headers_) {
    if (h.size() > 13 && strncasecmp(h.c_str(), "content-type:", 13) == 0) has_content_type = true;
    t.headers = curl_slist_append(t.headers, h.c_str());
  }
  // No form content type that nobody asked for, and no waiting for
  // "100 Continue" before a large body.
  if (!has_content_type) t.headers = curl_slist_append(t.headers, "Content-Type:");
  t.headers = curl_slist_append(t.headers, "Expect:");
  set(CURLOPT_HTTPHEADER, t.headers);

  if (secure_) {
    if (t.verifier) {
      // libcurl's checks are off only because the handshake hook below
      // decides instead. A kept connection or a resumed session would skip the
      // hook, so a pinned request always shakes hands afresh.
      set(CURLOPT_SSL_VERIFYPEER, 0L);
      set(CURLOPT_SSL_VERIFYHOST, 0L);
      set(CURLOPT_SSL_CTX_FUNCTION, &HttpRequestCallbacks::OnSslContext);
      set(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this));
      set(CURLOPT_SSL_SESSIONID_CACHE, 0L);
      set(CURLOPT_FRESH_CONNECT, 1L);
      set(CURLOPT_FORBID_REUSE, 1L);
    } else {
      set(CURLOPT_SSL_VERIFYPEER, 1L);
      set(CURLOPT_SSL_VERIFYHOST, 2L);
      if (!ca_file_.empty()) {
        // The extra file and the system's CA directory together.
        set(CURLOPT_CAINFO, ca_file_.c_str());
        set(CURLOPT_CAPATH, X509_get_default_cert_dir());
      }
    }
  }
  if (!ok) {
    RecordError(http_error::kNotSupported, "curl_easy_setopt");
    return false;
  }

  // An empty proxy also keeps libcurl from taking one from the environment:
  // the proxy resolver has decided already.
  const bool use_proxy = !proxy_.empty() && !BypassesProxy(host_, proxy_bypass_);
  set(CURLOPT_PROXY, use_proxy ? proxy_.c_str() : "");
  set(CURLOPT_NOPROXY, "");
  if (use_proxy && auth_scheme_ != 0) {
    long scheme = auth_scheme_ == kAuthNegotiate ? CURLAUTH_NEGOTIATE
                  : auth_scheme_ == kAuthNtlm    ? CURLAUTH_NTLM
                  : auth_scheme_ == kAuthDigest  ? CURLAUTH_DIGEST
                                                 : CURLAUTH_BASIC;
    set(CURLOPT_PROXYAUTH, scheme);
    set(CURLOPT_PROXYUSERNAME, proxy_user_.c_str());
    set(CURLOPT_PROXYPASSWORD, proxy_password_.c_str());
  }
  if (!ok) {
    RecordError(http_error::kNotSupported, "curl_easy_setopt[proxy]");
    return false;
  }
  return true;
}

void HttpRequest::Start(Completion completion) {
  bool submit = false;
  {
    platform::MutexLock lock(mutex_);
    if (!running_) {
      ResetResponse();
      completion_ = std::move(completion);
      cancel_requested_.store(false);
      if (PrepareTransfer()) {
        send_count_ = 1;
        running_ = true;
        submit = true;
      } else {
        completion = TakeCompletionLocked();
      }
    }
    // else: a second Start while running leaves the first alone.
  }
  if (submit) {
    // Submitted outside the lock: the driver may complete the request at once.
    if (session_.Submit(this)) return;
    platform::MutexLock lock(mutex_);
    running_ = false;
    RecordError(http_error::kShutdown, kAsyncGeneric);
    completion = TakeCompletionLocked();
  }
  if (completion) completion(*this);
}

void HttpRequest::Cancel() {
  platform::MutexLock lock(mutex_);
  if (!running_) return;
  cancel_requested_.store(true);
  session_.Wake();
}

bool HttpRequest::IdleTimedOut(int64_t now_ms, int64_t& deadline_ms) {
  const Transfer& t = *transfer_;
  deadline_ms = 0;
  if (!t.connected) return false;  // the connect time-out is libcurl's
  const uint32_t limit = t.last_up < t.upload_size ? t.send_timeout_ms : t.receive_timeout_ms;
  if (limit == 0) return false;
  deadline_ms = t.last_activity_ms + limit;
  return now_ms >= deadline_ms;
}

void* HttpRequest::curl_handle() const { return transfer_->easy; }

void HttpRequest::Abort(uint32_t error, const char* function) {
  platform::MutexLock lock(mutex_);
  if (error == http_error::kTimeout) {
    function = !transfer_->headers_available ? (transfer_->last_up < transfer_->upload_size ? kAsyncSendRequest
                                                                                           : kAsyncReceiveResponse)
                                             : kAsyncReadData;
  }
  RecordError(error, function);
  long status = 0;
  if (curl_easy_getinfo(transfer_->easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0) {
    status_ = static_cast<uint32_t>(status);
  }
}

bool HttpRequest::OnTransferDone(int curl_code) {
  CURL* e = transfer_->easy;
  Transfer& t = *transfer_;
  long status = 0, connect_code = 0, verify_result = 0, auth_avail = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(e, CURLINFO_HTTP_CONNECTCODE, &connect_code);

  platform::MutexLock lock(mutex_);
  if (curl_code != CURLE_OK && connect_code >= 300 && !t.connected) {
    // The proxy refused the tunnel: its answer is the response, as for a
    // plain request through it.
    status_ = static_cast<uint32_t>(connect_code);
  } else {
    if (status > 0) status_ = static_cast<uint32_t>(status);
    if (curl_code != CURLE_OK) {
      const uint32_t error = http_error::FromCurlCode(curl_code);
      uint32_t flags = 0;
      if (error == http_error::kSecureFailure) {
        if (curl_code == CURLE_PEER_FAILED_VERIFICATION &&
            curl_easy_getinfo(e, CURLINFO_SSL_VERIFYRESULT, &verify_result) == CURLE_OK) {
          flags = http_error::SecureFlagsFromVerifyResult(verify_result);
        } else {
          flags = http_error::kSecureFlagChannelError;
        }
      }
      const bool sending = curl_code == CURLE_SEND_ERROR || !t.connected;
      const char* function = sending ? kAsyncSendRequest : !t.headers_available ? kAsyncReceiveResponse : kAsyncReadData;
      if (error_ == http_error::kNone && sending && ShouldResend(error, flags, send_count_)) {
        HV_LOG_DEBUG("Sending again after {} ({}), send {}", function, error, send_count_ + 1);
        const uint32_t sends = send_count_;
        const uint32_t scheme = auth_scheme_;
        ResetResponse();
        send_count_ = sends + 1;
        auth_scheme_ = scheme;
        return PrepareTransfer();
      }
      RecordError(error, function, flags);
    }
  }

  // A proxy that wants credentials: choose the strongest scheme both sides
  // know, and send once more with it.
  if (error_ == http_error::kNone && status_ == 407 && !proxy_user_.empty() && auth_scheme_ == 0 &&
      curl_easy_getinfo(e, CURLINFO_PROXYAUTH_AVAIL, &auth_avail) == CURLE_OK) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    const bool negotiate = (info->features & CURL_VERSION_SPNEGO) != 0;
    const bool ntlm = (info->features & CURL_VERSION_NTLM) != 0;
    uint32_t scheme = 0;
    if (negotiate && (auth_avail & CURLAUTH_NEGOTIATE)) scheme = kAuthNegotiate;
    else if (ntlm && (auth_avail & CURLAUTH_NTLM)) scheme = kAuthNtlm;
    else if (auth_avail & CURLAUTH_DIGEST) scheme = kAuthDigest;
    else if (auth_avail & CURLAUTH_BASIC) scheme = kAuthBasic;
    if (scheme != 0) {
      ResetResponse();
      auth_scheme_ = scheme;
      send_count_ = 1;
      if (PrepareTransfer()) return true;
    }
  }

  if (t.headers_available || (status_ != 0 && !t.header_lines.empty())) {
    headers_available_ = true;
    response_headers_ = std::move(t.header_lines);
    t.header_lines.clear();
    content_length_ = ParseContentLength(response_headers_);
  }
  return false;
}

void HttpRequest::Complete() {
  Completion completion;
  {
    platform::MutexLock lock(mutex_);
    completion = TakeCompletionLocked();
  }
  if (completion) completion(*this);
  platform::MutexLock lock(mutex_);
  running_ = false;
  // Notified under the lock: the destructor may run as soon as it is free.
  finished_cv_.NotifyAll();
}

HttpRequest::Completion HttpRequest::TakeCompletionLocked() {
  Completion completion = std::move(completion_);
  completion_ = nullptr;
  return completion;
}

HttpResult HttpRequest::GetResult() const {
  platform::MutexLock lock(mutex_);
  switch (error_) {
    case http_error::kNone:
      return status_ >= 200 && status_ <= 399 ? HttpResult::Ok : HttpResult::HttpError;
    case http_error::kOperationCancelled:
    case http_error::kShutdown: return HttpResult::Cancelled;
    case http_error::kTimeout: return HttpResult::TimedOut;
    case http_error::kSecureFailure: return HttpResult::SecureFailure;
    default: return HttpResult::Failed;
  }
}

uint32_t HttpRequest::GetStatus() const {
  platform::MutexLock lock(mutex_);
  return status_;
}

uint32_t HttpRequest::GetError() const {
  platform::MutexLock lock(mutex_);
  return error_;
}

std::string HttpRequest::GetErrorFunction() const {
  platform::MutexLock lock(mutex_);
  return error_function_;
}

uint32_t HttpRequest::GetSecureFailureFlags() const {
  platform::MutexLock lock(mutex_);
  return secure_failure_flags_;
}

std::string HttpRequest::GetErrorText() const {
  platform::MutexLock lock(mutex_);
  std::string text;
  if (error_ == http_error::kSecureFailure) {
    text = fmt::format("{} SSL fail: {} [0x{:08x}]", error_function_, error_, secure_failure_flags_);
  } else if (error_ != http_error::kNone) {
    text = fmt::format("{} failed: {}", error_function_, error_);
  } else {
    text = fmt::format("HTTP {}", status_);
  }
  if (!transaction_id_.empty()) text += " - txid: " + transaction_id_;
  if (text.size() > 1023) text.resize(1023);
  return text;
}

const std::vector<uint8_t>& HttpRequest::GetBody() const {
  platform::MutexLock lock(mutex_);  // orders the read after the driver's writes
  return response_body_;
}

bool HttpRequest::GetBodyText(std::string& text) const {
  platform::MutexLock lock(mutex_);
  text.clear();
  if (!IsBodyText(response_body_)) return false;
  text.assign(response_body_.begin(), response_body_.end());
  return true;
}

std::string HttpRequest::GetTransactionId() const {
  platform::MutexLock lock(mutex_);
  return transaction_id_;
}

std::vector<std::string> HttpRequest::GetHeaders() const {
  platform::MutexLock lock(mutex_);
  return response_headers_;
}

std::string HttpRequest::GetHeader(std::string_view name) const {
  platform::MutexLock lock(mutex_);
  std::string n, v;
  for (const std::string& line : response_headers_) {
    if (SplitHeader(line, n, v) && n == name) return v;
  }
  return {};
}

int64_t HttpRequest::GetContentLength() const {
  platform::MutexLock lock(mutex_);
  return content_length_;
}

uint32_t HttpRequest::GetSendCount() const {
  platform::MutexLock lock(mutex_);
  return send_count_;
}

std::string HttpRequest::proxy() const {
  platform::MutexLock lock(mutex_);
  return proxy_;
}

std::string HttpRequest::proxy_user() const {
  platform::MutexLock lock(mutex_);
  return proxy_user_;
}

std::string HttpRequest::proxy_password() const {
  platform::MutexLock lock(mutex_);
  return proxy_password_;
}

std::string HttpRequest::proxy_bypass() const {
  platform::MutexLock lock(mutex_);
  return proxy_bypass_;
}

uint32_t HttpRequest::auth_scheme() const {
  platform::MutexLock lock(mutex_);
  return auth_scheme_;
}
