#include "qor/client_auth/token_endpoint.h"

#include <curl/curl.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "qor/client_auth/token_store.h"
#include "server/tls_config.h"

namespace qor_auth {
namespace {

constexpr size_t kMaxReply = 64 * 1024;

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  if (body->size() + size * count > kMaxReply) return 0;  // ends the transfer
  body->append(data, size * count);
  return size * count;
}

}  // namespace

TokenReply RequestToken(const std::string& url, const std::string& secret, const std::string& sid,
                        const std::string& installation_root) {
  TokenReply reply;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) return reply;
  const server_tls::TlsConfig tls = server_tls::LoadTlsConfig(installation_root);
  const std::string body = nlohmann::json{{"enrolment_secret", secret}, {"sid", sid}}.dump();
  std::string answer;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Accept: application/json");
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  server_tls::ApplyTls(h, tls);
  const CURLcode code = curl_easy_perform(h);
  curl_slist_free_all(headers);
  if (code != CURLE_OK) return reply;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
  if (reply.status == 401 || reply.status == 403) {
    reply.outcome = TokenReply::kRefused;
    return reply;
  }
  if (reply.status != 200) {
    reply.outcome = reply.status >= 500 || reply.status == 429 ? TokenReply::kUnreachable : TokenReply::kMalformed;
    return reply;
  }
  reply.outcome = TokenReply::kMalformed;
  const nlohmann::json parsed = nlohmann::json::parse(answer, nullptr, false);
  if (!parsed.is_object()) return reply;
  const auto token = parsed.find("access_token");
  const auto expires = parsed.find("expires_in");
  if (token == parsed.end() || !token->is_string() || expires == parsed.end() || !expires->is_number_integer()) {
    return reply;
  }
  std::string text = token->get<std::string>();
  if (!TokenStore::IsWellFormedToken(text) || expires->get<int64_t>() <= 0) return reply;
  reply.outcome = TokenReply::kToken;
  reply.token = std::move(text);
  reply.expires_in = expires->get<int64_t>();
  return reply;
}

}  // namespace qor_auth
