#include "manager/client_auth_token_source.h"

#include "platform/maker_libraries.h"

void ClientAuthTokenSource::SetServer(const std::string& host, uint16_t port, const std::string& installation_root) {
  maker::QorClientAuth_SetServer(host.c_str(), port, installation_root.c_str());
}

uint32_t ClientAuthTokenSource::GetBearerToken(const std::string& user, std::string& token) {
  char* raw = nullptr;
  uint32_t code = maker::QorClientAuth_GetBearerToken(user.c_str(), &raw);
  if (code == QOR_CLIENT_AUTH_OK && raw == nullptr) code = QOR_CLIENT_AUTH_INTERNAL_ERROR;
  if (code == QOR_CLIENT_AUTH_OK) token = raw;
  // Released whatever the code: a library that misbehaves must not leak it.
  maker::QorClientAuth_FreeString(raw);
  return code;
}

std::string ClientAuthTokenSource::ErrorText(uint32_t code) {
  const char* text = maker::QorClientAuth_ErrorAsString(code);
  return text != nullptr ? text : "";
}

void ClientAuthTokenSource::RefreshToken(const std::string& user) { maker::QorClientAuth_RefreshToken(user.c_str()); }
