// The bearer tokens of the client-authentication library: read from the
// registry store at every request (so that a sign-in or sign-out takes effect
// at once), checked for a safe form, and held back after the server rejected
// them until a different token is stored.
//
// Thread-safe: each read uses a registry instance of its own; mutex_ guards
// the rejected tokens.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/thread_annotations.h"

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

  // 1 to QOR_CLIENT_AUTH_MAX_TOKEN characters of A-Z a-z 0-9 - . _ ~ + /,
  // then any number of '='.
  static bool IsWellFormedToken(std::string_view token);

 private:
  // The stored token, checked for form but not against the rejected ones.
  uint32_t ReadStored(const std::string& user, std::string* token) const;

  const std::string registry_directory_;
  std::mutex mutex_;
  // The last rejected token per user (upper-case SID text).
  std::map<std::string, std::string> rejected_ GUARDED_BY(mutex_);
};

}  // namespace qor_auth
