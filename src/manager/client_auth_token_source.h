// The tokens of the client-authentication library, loaded on first use by
// the delay loader.
#pragma once

#include "manager/token_source.h"

class ClientAuthTokenSource final : public TokenSource {
 public:
  void SetServer(const std::string& host, uint16_t port, const std::string& installation_root) override;
  uint32_t GetBearerToken(const std::string& user, std::string& token) override;
  std::string ErrorText(uint32_t code) override;
  void RefreshToken(const std::string& user) override;
};
