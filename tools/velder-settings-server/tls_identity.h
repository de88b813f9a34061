// The server's certificate: the files given by the administrator, or a
// self-signed one generated at first start into the data folder (an ECDSA
// P-256 key, valid for ten years, for localhost, the host name and the
// loopback addresses). Its SHA-256 fingerprint is printed at start so that a
// service can pin the certificate or trust it as its CA file.
#pragma once

#include <string>

namespace settings_server {

struct TlsIdentity {
  std::string certFile;
  std::string keyFile;
  bool generated = false;   // made during this start
  std::string fingerprint;  // SHA-256 of the DER certificate, "AB:CD:..."
};

// Uses `certFile`/`keyFile` when given (both or neither), else
// <dataDir>/server-cert.pem and server-key.pem, generating them when missing.
// False with `error` set on failure.
bool PrepareTlsIdentity(const std::string& certFile, const std::string& keyFile, const std::string& dataDir,
                        TlsIdentity& identity, std::string& error);

// The fingerprint of the first certificate of a PEM file; empty on failure.
std::string CertificateFingerprint(const std::string& pemFile);

}  // namespace settings_server
