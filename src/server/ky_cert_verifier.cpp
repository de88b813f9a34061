#include "server/ky_cert_verifier.h"

#include "platform/namespace_resolver.h"
#include "server/http_request.h"
#include "server/tls_config.h"

// The registry reading and the byte comparison are shared with the push and
// client-authentication libraries (tls_config.h), so that all of them trust alike.

std::string KyCertVerifier::CertificatesKey() { return GetNamespaceRegistryRoot() + "\\Certificates"; }

std::string KyCertVerifier::ReadCaFile() { return server_tls::ReadCaFile(); }

bool KyCertVerifier::Load() {
  certificates_ =
      std::make_shared<const std::vector<std::vector<uint8_t>>>(server_tls::ReadPins(GetNamespaceRegistryRoot()));
  return !certificates_->empty();
}

bool KyCertVerifier::Verify(const uint8_t* der, size_t size) const {
  return server_tls::MatchesPin(*certificates_, der, size);
}

bool KyCertVerifier::PrepareRequest(HttpRequest& request) {
  if (Load()) {
    // The request keeps this list even if a later Load replaces it.
    request.SetCertVerifier([pins = certificates_](const uint8_t* der, size_t size) {
      return server_tls::MatchesPin(*pins, der, size);
    });
    return true;
  }
  request.SetCertVerifier(nullptr);
  request.SetCaFile(ReadCaFile());
  return false;
}
