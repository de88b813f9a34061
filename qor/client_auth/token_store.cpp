#include "token_store.h"

#include <memory>

#include "platform/sid.h"
#include "platform/sqlite_registry.h"
#include "qor/client_auth/hv_qor_client_auth.h"

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
  if (const uint32_t code = ReadStored(user, &stored); code != QOR_CLIENT_AUTH_OK) return code;
  {
    std::lock_guard lock(mutex_);
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
  if (const uint32_t code = ReadStored(user, &stored); code != QOR_CLIENT_AUTH_OK) return code;
  std::lock_guard lock(mutex_);
  rejected_[user] = std::move(stored);
  return QOR_CLIENT_AUTH_OK;
}

}  // namespace qor_auth
