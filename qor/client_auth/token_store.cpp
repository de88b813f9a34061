#include "token_store.h"

#include <memory>

#include "platform/sid.h"
#include "platform/sqlite_registry.h"
#include "qor/client_auth/hv_qor_client_auth.h"
#include "qor/client_auth/token_endpoint.h"

namespace qor_auth {
namespace {

// SID texts are accepted in any case; the map keys are canonical.
std::string CanonicalSid(std::string_view sid) {
  std::string upper(sid);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool IsTokenCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '+' || c == '/';
}

}  // namespace

TokenStore& TokenStore::Instance() {
  static TokenStore* store = new TokenStore();
  return *store;
}

bool TokenStore::IsWellFormedToken(std::string_view token) {
  if (token.empty() || token.size() > QOR_CLIENT_AUTH_MAX_TOKEN) return false;
  size_t i = 0;
  while (i < token.size() && IsTokenCharacter(token[i])) ++i;
  if (i == 0) return false;
  while (i < token.size() && token[i] == '=') ++i;
  return i == token.size();
}

uint32_t TokenStore::ReadStored(const std::string& user, std::string* token) const {
  std::unique_ptr<SqliteRegistry> registry = registry_directory_.empty()
                                                 ? std::make_unique<SqliteRegistry>()
                                                 : std::make_unique<SqliteRegistry>(registry_directory_);
  registry->SetRootKey(HKEY_LOCAL_MACHINE);
  RegistryError error = RegistryError::Ok;
  if (registry->GetString(QOR_CLIENT_AUTH_TOKENS_KEY, user, *token, &error)) {
    if (IsWellFormedToken(*token)) return QOR_CLIENT_AUTH_OK;
    token->clear();
    return QOR_CLIENT_AUTH_TOKEN_MALFORMED;
  }
  token->clear();
  switch (error) {
    case RegistryError::NotFound: return QOR_CLIENT_AUTH_NO_TOKEN;
    case RegistryError::WrongType: return QOR_CLIENT_AUTH_TOKEN_MALFORMED;
    default: return QOR_CLIENT_AUTH_STORE_UNAVAILABLE;
  }
}

uint32_t TokenStore::GetToken(std::string_view user_sid, std::string* token) {
  token->clear();
  if (!platform::IsValidSidText(user_sid)) return QOR_CLIENT_AUTH_INVALID_ARGUMENT;
  const std::string user = CanonicalSid(user_sid);
  std::string stored;
  const uint32_t code = ReadStored(user, &stored);
  if (code == QOR_CLIENT_AUTH_NO_TOKEN) return GetEnrolledToken(user, token);
  if (code != QOR_CLIENT_AUTH_OK) return code;
  {
    platform::MutexLock lock(mutex_);
    auto it = rejected_.find(user);
    if (it != rejected_.end()) {
      if (it->second == stored) return QOR_CLIENT_AUTH_TOKEN_REJECTED;
      // A new token has been stored since: the rejection is history.
      rejected_.erase(it);
    }
  }
  *token = std::move(stored);
  return QOR_CLIENT_AUTH_OK;
}

uint32_t TokenStore::Reject(std::string_view user_sid) {
  if (!platform::IsValidSidText(user_sid)) return QOR_CLIENT_AUTH_INVALID_ARGUMENT;
  const std::string user = CanonicalSid(user_sid);
  std::string stored;
  const uint32_t code = ReadStored(user, &stored);
  platform::MutexLock lock(mutex_);
  if (code == QOR_CLIENT_AUTH_NO_TOKEN) {
    // The next request asks the endpoint for a new token.
    cached_.erase(user);
    return QOR_CLIENT_AUTH_OK;
  }
  if (code != QOR_CLIENT_AUTH_OK) return code;
  rejected_[user] = std::move(stored);
  return QOR_CLIENT_AUTH_OK;
}

void TokenStore::SetServer(std::string host, uint16_t port, std::string installation_root) {
  platform::MutexLock lock(mutex_);
  if (host != host_ || port != port_) cached_.clear();  // tokens of another server
  host_ = std::move(host);
  port_ = port;
  installation_root_ = std::move(installation_root);
}

uint32_t TokenStore::GetEnrolledToken(const std::string& user, std::string* token) {
  const auto now = std::chrono::steady_clock::now();
  std::string host;
  uint16_t port = 0;
  std::string installation_root;
  {
    platform::MutexLock lock(mutex_);
    const auto it = cached_.find(user);
    if (it != cached_.end() && now < it->second.renew_after) {
      *token = it->second.token;
      return QOR_CLIENT_AUTH_OK;
    }
    host = host_;
    port = port_;
    installation_root = installation_root_;
  }
  std::unique_ptr<SqliteRegistry> registry = registry_directory_.empty()
                                                 ? std::make_unique<SqliteRegistry>()
                                                 : std::make_unique<SqliteRegistry>(registry_directory_);
  registry->SetRootKey(HKEY_LOCAL_MACHINE);
  std::string secret;
  RegistryError error = RegistryError::Ok;
  if (!registry->GetString(QOR_CLIENT_AUTH_KEY, QOR_CLIENT_AUTH_SECRET_VALUE, secret, &error)) {
    return error == RegistryError::NotFound ? QOR_CLIENT_AUTH_NO_TOKEN : QOR_CLIENT_AUTH_STORE_UNAVAILABLE;
  }
  if (secret.empty()) return QOR_CLIENT_AUTH_NO_TOKEN;
  std::string url;
  if (!registry->GetString(QOR_CLIENT_AUTH_KEY, QOR_CLIENT_AUTH_URL_VALUE, url, nullptr) || url.empty()) {
    if (host.empty()) return QOR_CLIENT_AUTH_STORE_UNAVAILABLE;  // nowhere to ask yet
    const bool literal_v6 = host.find(':') != std::string::npos;
    url = "https://" + (literal_v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + QOR_CLIENT_AUTH_PATH;
  }
  const TokenReply reply = RequestToken(url, secret, user, installation_root);
  switch (reply.outcome) {
    case TokenReply::kToken: break;
    case TokenReply::kRefused: return QOR_CLIENT_AUTH_NO_TOKEN;
    case TokenReply::kMalformed: return QOR_CLIENT_AUTH_TOKEN_MALFORMED;
    case TokenReply::kUnreachable: return QOR_CLIENT_AUTH_STORE_UNAVAILABLE;
  }
  // Renewed a minute before it expires; a short-lived token at half its life.
  const auto life = std::chrono::seconds(reply.expires_in);
  const auto margin = std::min<std::chrono::seconds>(std::chrono::seconds(60), life / 2);
  platform::MutexLock lock(mutex_);
  cached_[user] = Cached{reply.token, now + life - margin};
  *token = reply.token;
  return QOR_CLIENT_AUTH_OK;
}

}  // namespace qor_auth
