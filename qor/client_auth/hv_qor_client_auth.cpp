// The C entry points of the client-authentication library. No exception may
// reach a C caller: each entry catches everything (memory exhaustion, or a
// failure inside the registry store).
#include "qor/client_auth/hv_qor_client_auth.h"

#include <cstdlib>
#include <cstring>

#include "token_store.h"

using qor_auth::TokenStore;

extern "C" {

uint32_t QorClientAuth_GetBearerToken(const char* user_sid, char** token) {
  if (!token) return QOR_CLIENT_AUTH_INVALID_ARGUMENT;
  *token = nullptr;
  if (!user_sid) return QOR_CLIENT_AUTH_INVALID_ARGUMENT;
  try {
    std::string text;
    const uint32_t code = TokenStore::Instance().GetToken(user_sid, &text);
    if (code != QOR_CLIENT_AUTH_OK) return code;
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) return QOR_CLIENT_AUTH_INTERNAL_ERROR;
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *token = copy;
    return QOR_CLIENT_AUTH_OK;
  } catch (...) {
    return QOR_CLIENT_AUTH_INTERNAL_ERROR;
  }
}

void QorClientAuth_FreeString(char* text) { std::free(text); }

void QorClientAuth_SetServer(const char* host, uint16_t port, const char* installation_root) {
  try {
    TokenStore::Instance().SetServer(host ? host : "", port, installation_root ? installation_root : "");
  } catch (...) {
  }
}

uint32_t QorClientAuth_RefreshToken(const char* user_sid) {
  if (!user_sid) return QOR_CLIENT_AUTH_INVALID_ARGUMENT;
  try {
    return TokenStore::Instance().Reject(user_sid);
  } catch (...) {
    return QOR_CLIENT_AUTH_INTERNAL_ERROR;
  }
}

const char* QorClientAuth_ErrorAsString(uint32_t code) {
  switch (code) {
    case QOR_CLIENT_AUTH_OK: return "Success";
    case QOR_CLIENT_AUTH_INVALID_ARGUMENT: return "Invalid argument";
    case QOR_CLIENT_AUTH_INTERNAL_ERROR: return "Internal error of the client authentication library";
    case QOR_CLIENT_AUTH_STORE_UNAVAILABLE: return "No token can be obtained now (store or token endpoint unavailable)";
    case QOR_CLIENT_AUTH_TOKEN_REJECTED: return "The token was rejected and no new token is available yet";
    case QOR_CLIENT_AUTH_TOKEN_MALFORMED: return "The stored token or the endpoint's answer is malformed";
    case QOR_CLIENT_AUTH_NO_TOKEN: return "The user is signed out: no token, no enrolment, or enrolment refused";
  }
  return "Unknown client authentication error";
}

}  // extern "C"
