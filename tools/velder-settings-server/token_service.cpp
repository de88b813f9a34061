#include "token_service.h"

#include <algorithm>
#include <cctype>

#include "crypto_text.h"
#include "platform/sid.h"

namespace settings_server {
namespace {

using json = nlohmann::json;

json Error(std::string_view code, std::string_view message) {
  return {{"error", {{"code", code}, {"message", message}}}};
}

}  // namespace

TokenService::TokenService(SettingsDatabase& database, int64_t lifetimeSeconds, Clock clock)
    : database_(database), lifetime_(lifetimeSeconds), clock_(std::move(clock)) {}

std::string TokenService::NewSecret() { return RandomText(32); }

std::string TokenService::Digest(std::string_view secret) { return Sha256Hex(secret); }

TokenService::Grant TokenService::Issue(const json& request) {
  Grant grant;
  auto secret = request.find("enrolment_secret");
  auto sid = request.find("sid");
  if (secret == request.end() || !secret->is_string() || sid == request.end() || !sid->is_string()) {
    grant.status = 400;
    grant.body = Error("invalid_request", "\"enrolment_secret\" and \"sid\" must be strings");
    return grant;
  }
  std::string sidText = sid->get<std::string>();
  if (!platform::IsValidSidText(sidText)) {
    grant.status = 400;
    grant.body = Error("invalid_sid", "\"sid\" is not a security identifier");
    return grant;
  }
  // The service names users in upper case; a lower-case "s-1-..." is the same user.
  std::transform(sidText.begin(), sidText.end(), sidText.begin(), [](unsigned char c) { return std::toupper(c); });
  auto machine = database_.MachineForSecretHash(Digest(secret->get<std::string>()));
  if (!machine) {
    grant.status = 401;
    grant.body = Error("invalid_client", "unknown enrolment secret");
    return grant;
  }
  grant.client = ClientKey{*machine, sidText};
  ClientRecord record;
  if (database_.EnsureClient(grant.client, record) != DbResult::kOk) {
    grant.status = 500;
    grant.body = Error("storage_failed", "the client could not be stored");
    return grant;
  }
  if (record.disabled) {
    grant.status = 403;
    grant.body = Error("client_disabled", "the administrator disabled this client");
    return grant;
  }
  const std::string token = RandomText(32);
  const int64_t now = clock_();
  if (token.empty() || database_.AddToken(Digest(token), grant.client, now + lifetime_, now) != DbResult::kOk) {
    grant.status = 500;
    grant.body = Error("storage_failed", "the token could not be stored");
    return grant;
  }
  grant.body = {{"access_token", token}, {"token_type", "Bearer"}, {"expires_in", lifetime_}};
  return grant;
}

TokenService::Auth TokenService::Authenticate(std::string_view authorization) const {
  Auth auth;
  constexpr std::string_view kScheme = "Bearer ";
  // The scheme name is case-insensitive.
  const bool bearer = authorization.size() > kScheme.size() &&
                      std::equal(kScheme.begin(), kScheme.end(), authorization.begin(), [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                      });
  if (!bearer) {
    auth.status = 401;
    auth.error = "a bearer token is required";
    return auth;
  }
  std::string_view token = authorization.substr(kScheme.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  auto record = database_.FindToken(Digest(token));
  if (!record || record->expires <= clock_()) {
    auth.status = 401;
    auth.error = record ? "the token has expired" : "unknown token";
    return auth;
  }
  auto client = database_.FindClient(record->key);
  if (!client) {
    auth.status = 401;
    auth.error = "unknown token";
    return auth;
  }
  auth.client = *client;
  if (client->disabled) {
    auth.status = 403;
    auth.error = "the administrator disabled this client";
  }
  return auth;
}

}  // namespace settings_server
