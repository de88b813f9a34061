// The settings server's token endpoint: a bearer token for one user of this
// machine in exchange for the machine's enrolment secret.
//
//   POST <url>  {"enrolment_secret": "...", "sid": "S-1-..."}
//   200 {"access_token": "...", "token_type": "Bearer", "expires_in": <s>}
//   400 bad request, 401 unknown secret, 403 this client is disabled
//
// Blocking; any thread. Neither the secret nor a token ever reaches a log or
// an error text.
#pragma once

#include <cstdint>
#include <string>

namespace qor_auth {

struct TokenReply {
  enum Outcome { kToken, kRefused, kUnreachable, kMalformed };
  Outcome outcome = kUnreachable;
  long status = 0;             // the HTTP status, 0 without an answer
  std::string token;           // kToken only
  int64_t expires_in = 0;      // seconds; kToken only
};

// `installation_root` names the machine key whose "\Certificates" pins the
// server (empty: no pins).
TokenReply RequestToken(const std::string& url, const std::string& secret, const std::string& sid,
                        const std::string& installation_root);

}  // namespace qor_auth
