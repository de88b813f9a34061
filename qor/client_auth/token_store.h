// The bearer tokens of the client-authentication library.
//
// A static token stored for the user under "Tokens" wins (tests, machines
// signed in by hand): read at every request, checked for a safe form, and held
// back after the server rejected it until a different one is stored.
// Otherwise the token comes from the settings server's token endpoint in
// exchange for the machine's enrolment secret, and is kept in memory until
// shortly before it expires or until the server rejects it (Reject).
//
// Thread-safe: each read uses a registry instance of its own; mutex_ guards
// the maps and the server address. No token is held under the lock while the
// endpoint is asked.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/mutex.h"

namespace qor_auth {

class TokenStore {
 public:
  // `registry_directory` empty: the registry store's default directory, looked
  // up at every read.
  explicit TokenStore(std::string registry_directory = {}) : registry_directory_(std::move(registry_directory)) {}

  // The library's store (never destroyed).
  static TokenStore& Instance();

  // Result codes of hv_qor_client_auth.h.
  uint32_t GetToken(std::string_view user_sid, std::string* token) EXCLUDES(mutex_);
  uint32_t Reject(std::string_view user_sid) EXCLUDES(mutex_);
  // Where the settings server is, when no "Url" is configured, and the
  // machine key whose "\Certificates" pins it.
  void SetServer(std::string host, uint16_t port, std::string installation_root) EXCLUDES(mutex_);

  // 1 to QOR_CLIENT_AUTH_MAX_TOKEN characters of A-Z a-z 0-9 - . _ ~ + /,
  // then any number of '='.
  static bool IsWellFormedToken(std::string_view token);

 private:
  // The stored token, checked for form but not against the rejected ones.
  uint32_t ReadStored(const std::string& user, std::string* token) const;
  // A token from the endpoint (cached), for a user without a static one.
  uint32_t GetEnrolledToken(const std::string& user, std::string* token) EXCLUDES(mutex_);

  struct Cached {
    std::string token;
    std::chrono::steady_clock::time_point renew_after;
  };

  const std::string registry_directory_;
  platform::Mutex mutex_;
  // The last rejected token per user (upper-case SID text).
  std::map<std::string, std::string> rejected_ GUARDED_BY(mutex_);
  std::map<std::string, Cached> cached_ GUARDED_BY(mutex_);
  std::string host_ GUARDED_BY(mutex_);
  uint16_t port_ GUARDED_BY(mutex_) = 443;
  std::string installation_root_ GUARDED_BY(mutex_);
};

}  // namespace qor_auth
