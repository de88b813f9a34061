// Where the settings manager gets the bearer token of a hive's user for an
// exchange with the settings server. The service uses the client-
// authentication library (ClientAuthTokenSource); tests give tokens of their
// own. Every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

// The result codes of GetBearerToken.
#include "qor/client_auth/hv_qor_client_auth.h"

class TokenSource {
 public:
  virtual ~TokenSource() = default;

  // Tells the source which server the tokens are for (its token endpoint
  // derives from it); `installation_root` is the namespace's registry root.
  virtual void SetServer(const std::string& host, uint16_t port, const std::string& installation_root) = 0;
  // 0 with the token of `user`, or a code of the client-authentication
  // library (QOR_CLIENT_AUTH_*, hv_qor_client_auth.h), which also stand for
  // a library that cannot be loaded.
  virtual uint32_t GetBearerToken(const std::string& user, std::string& token) = 0;
  // The words for a code, for the log.
  virtual std::string ErrorText(uint32_t code) = 0;
  // The server refused the token of `user`: the next one should be new.
  virtual void RefreshToken(const std::string& user) = 0;
};
