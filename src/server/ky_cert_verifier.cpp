#include "server/ky_cert_verifier.h"

#include <algorithm>
#include <cstring>

#include "logging/log.h"
#include "platform/namespace_resolver.h"
#include "platform/sqlite_registry.h"
#include "server/http_request.h"

namespace {

bool MatchesAny(const std::vector<std::vector<uint8_t>>& pins, const uint8_t* der, size_t size) {
  return std::any_of(pins.begin(), pins.end(), [&](const std::vector<uint8_t>& pin) {
    return !pin.empty() && pin.size() == size && std::memcmp(pin.data(), der, size) == 0;
  });
}

}  // namespace

std::string KyCertVerifier::CertificatesKey() { return GetNamespaceRegistryRoot() + "\\Certificates"; }

std::string KyCertVerifier::ReadCaFile() {
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  std::string path;
  if (!registry.GetString(kVelderKey, kCaFileValue, path)) return {};
  return path;
}

bool KyCertVerifier::Load() {
  auto list = std::make_shared<std::vector<std::vector<uint8_t>>>();
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  registry.SetView(KEY_WOW64_32KEY);
  const std::string key = CertificatesKey();
  for (uint32_t n = 1;; ++n) {
    std::vector<uint8_t> der;
    if (!registry.GetBinary(key, "certificate" + std::to_string(n), der)) break;
    list->push_back(std::move(der));
  }
  certificates_ = std::move(list);
  return !certificates_->empty();
}

bool KyCertVerifier::Verify(const uint8_t* der, size_t size) const {
  return MatchesAny(*certificates_, der, size);
}

bool KyCertVerifier::PrepareRequest(HttpRequest& request) {
  if (Load()) {
    // The request keeps this list even if a later Load replaces it.
    request.SetCertVerifier([pins = certificates_](const uint8_t* der, size_t size) {
      return MatchesAny(*pins, der, size);
    });
    return true;
  }
  request.SetCertVerifier(nullptr);
  request.SetCaFile(ReadCaFile());
  return false;
}
