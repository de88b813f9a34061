// The pinned certificates of the settings server and the trust settings of
// every server request.
//
// Administrators pin the server by storing its certificate(s), DER encoded, as
// REG_BINARY values certificate1, certificate2, ... (counted from 1, the first
// gap ends the list) under HKEY_LOCAL_MACHINE\<namespace root>\Certificates.
// With at least one pin a request accepts the server exactly when its leaf
// certificate equals one of them byte for byte (expiry, names and chain do not
// matter); the check runs inside the TLS handshake, before the request is sent.
// Without pins the usual verification applies, against the system's trust
// store and the CA file named by HKLM\SOFTWARE\Halvern\QOR\Velder "CaFile".
//
// The registry is read again for every request, so a changed pin takes effect
// at the next request without a restart.
//
// Owned by ServerComm; Load and PrepareRequest run on the settings manager's
// update thread. A request keeps its own copy of the pins, so a Load during a
// running request does not change what that request accepts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/tls_config.h"

class HttpRequest;

class KyCertVerifier {
 public:
  // The registry key and value naming the extra CA file.
  static constexpr const char* kVelderKey = server_tls::kVelderKey;
  static constexpr const char* kCaFileValue = server_tls::kCaFileValue;

  KyCertVerifier() = default;
  virtual ~KyCertVerifier() = default;
  KyCertVerifier(const KyCertVerifier&) = delete;
  KyCertVerifier& operator=(const KyCertVerifier&) = delete;

  // Reloads the pins; true when at least one was loaded. A missing key or
  // value, or a value of another type than REG_BINARY, ends the list; a
  // zero-length value is an empty pin that matches nothing.
  virtual bool Load();

  // Loads the pins and configures `request`: with pins, the verifier; without,
  // the CA file of the registry (when one is named). Returns whether the
  // request is pinned.
  bool PrepareRequest(HttpRequest& request);

  // True when `der` is byte for byte one of the loaded pins.
  bool Verify(const uint8_t* der, size_t size) const;

  const std::vector<std::vector<uint8_t>>& certificates() const { return *certificates_; }

  // The registry key of the pins: GetNamespaceRegistryRoot() + "\Certificates".
  static std::string CertificatesKey();
  // The CA file named in the registry; empty when none.
  static std::string ReadCaFile();

 private:
  // Shared with the requests it was installed on; replaced, never changed, by Load.
  std::shared_ptr<const std::vector<std::vector<uint8_t>>> certificates_ =
      std::make_shared<const std::vector<std::vector<uint8_t>>>();
};
