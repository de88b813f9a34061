// Bearer tokens: a machine's enrolment secret and a user SID are exchanged for
// a token that names the client (machine, SID) until it expires; every client
// request presents it. Only digests of secrets and tokens are stored.
//
// Thread-safe (the database is).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "settings_database.h"

namespace settings_server {

class TokenService {
 public:
  using Clock = std::function<int64_t()>;  // seconds since 1970

  TokenService(SettingsDatabase& database, int64_t lifetimeSeconds, Clock clock);

  struct Grant {
    int status = 200;        // 200, or 400 / 401 / 403 / 500 with `error`
    nlohmann::json body;     // the answer: the token, or {"error":...}
    ClientKey client;        // set when the secret named a machine
  };
  // The body of POST /velder/auth/v1/token: {"enrolment_secret":..., "sid":...}.
  Grant Issue(const nlohmann::json& request);

  struct Auth {
    int status = 0;  // 0: valid; 401 (unknown, malformed or expired) or 403 (client disabled)
    std::string error;
    ClientRecord client;
  };
  // Checks an Authorization header ("Bearer <token>").
  Auth Authenticate(std::string_view authorization) const;

  // A new enrolment secret and the digest that the database keeps of it.
  static std::string NewSecret();
  static std::string Digest(std::string_view secret);

 private:
  SettingsDatabase& database_;
  int64_t lifetime_;
  Clock clock_;
};

}  // namespace settings_server
