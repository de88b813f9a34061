#include "server/ky_cert_verifier.h"

#include "platform/namespace_resolver.h"
#include "qor/tls/tls_config.h"
#include "server/http_request.h"

// The registry reading and the byte comparison are the maker libraries' own
// (qor/tls), so the service and its push and token connections trust alike.

std::string KyCertVerifier::CertificatesKey() { return GetNamespaceRegistryRoot() + "\\Certificates"; }

std::string KyCertVerifier::ReadCaFile() { return qor_tls::ReadCaFile(); }

bool KyCertVerifier::Load() {
  certificates_ = std::make_shared<const std::vector<std::vector<uint8_t>>>(qor_tls::ReadPins(GetNamespaceRegistryRoot()));
  return !certificates_->empty();
}

bool KyCertVerifier::Verify(const uint8_t* der, size_t size) const {
  return qor_tls::MatchesPin(*certificates_, der, size);
}

bool KyCertVerifier::PrepareRequest(HttpRequest& request) {
  if (Load()) {
    // The request keeps this list even if a later Load replaces it.
    request.SetCertVerifier([pins = certificates_](const uint8_t* der, size_t size) {
      return qor_tls::MatchesPin(*pins, der, size);
    });
    return true;
  }
  request.SetCertVerifier(nullptr);
  request.SetCaFile(ReadCaFile());
  return false;
}
