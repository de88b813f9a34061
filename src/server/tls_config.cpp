#include "server/tls_config.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>

#include "platform/sqlite_registry.h"

namespace server_tls {
namespace {

// Depth 0 (the server's own certificate) decides alone when pins exist. The
// configuration travels as the context's application data.
int VerifyPinned(int, X509_STORE_CTX* store) {
  if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const auto* config =
      ssl != nullptr ? static_cast<const TlsConfig*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
  X509* leaf = X509_STORE_CTX_get_current_cert(store);
  if (config == nullptr || leaf == nullptr) return 0;
  unsigned char* der = nullptr;
  const int length = i2d_X509(leaf, &der);
  if (length <= 0) return 0;
  const bool pinned = MatchesPin(config->pins, der, static_cast<size_t>(length));
  OPENSSL_free(der);
  if (!pinned) X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
  return pinned ? 1 : 0;
}

CURLcode SetUpContext(CURL*, void* ssl_context, void* user) {
  auto* context = static_cast<SSL_CTX*>(ssl_context);
  const auto* config = static_cast<const TlsConfig*>(user);
  if (!config->ca_file.empty()) {
    // Added to the store libcurl filled from the system's bundle; a bundle
    // that cannot be read leaves the system's trust alone.
    X509_STORE_load_file(SSL_CTX_get_cert_store(context), config->ca_file.c_str());
  }
  if (!config->pins.empty()) {
    SSL_CTX_set_app_data(context, user);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, VerifyPinned);
  }
  return CURLE_OK;
}

}  // namespace

std::string ReadCaFile() {
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  std::string path;
  if (!registry.GetString(kVelderKey, kCaFileValue, path, nullptr)) return {};
  return path;
}

std::vector<std::vector<uint8_t>> ReadPins(const std::string& installation_root) {
  std::vector<std::vector<uint8_t>> pins;
  if (installation_root.empty()) return pins;
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  const std::string key = installation_root + "\\Certificates";
  for (int n = 1;; ++n) {
    std::vector<uint8_t> der;
    if (!registry.GetBinary(key, "certificate" + std::to_string(n), der, nullptr)) break;
    pins.push_back(std::move(der));
  }
  return pins;
}

bool MatchesPin(const std::vector<std::vector<uint8_t>>& pins, const uint8_t* der, size_t size) {
  return std::any_of(pins.begin(), pins.end(), [&](const std::vector<uint8_t>& pin) {
    return !pin.empty() && pin.size() == size && std::equal(pin.begin(), pin.end(), der);
  });
}

TlsConfig LoadTlsConfig(const std::string& installation_root) {
  return TlsConfig{ReadCaFile(), ReadPins(installation_root)};
}

void ApplyTls(CURL* curl, const TlsConfig& config) {
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, const_cast<TlsConfig*>(&config));
  if (config.pins.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &SetUpContext);
    return;
  }
  // The pin replaces libcurl's own checks; a resumed session would skip it.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &SetUpContext);
}

}  // namespace server_tls
