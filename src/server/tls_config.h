// How the service and the maker libraries trust the settings server; the one
// implementation of these rules, linked by the plug-in (KyCertVerifier) and by
// the push and client-authentication libraries, without the logger:
//   - "CaFile" under HKLM\SOFTWARE\Halvern\QOR\Velder: a PEM bundle trusted
//     besides the system's certificate store;
//   - pinned certificates under <installation root>\Certificates
//     ("certificate1", "certificate2", ... REG_BINARY, DER, without gaps):
//     when there is at least one, the server's leaf certificate must equal
//     one of them byte for byte, checked inside the handshake, before any
//     request byte (the bearer token) is sent; names and chains are then not
//     examined.
// The registry is read for every connection, so changes count at once.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace server_tls {

inline constexpr char kVelderKey[] = "SOFTWARE\\Halvern\\QOR\\Velder";
inline constexpr char kCaFileValue[] = "CaFile";

struct TlsConfig {
  std::string ca_file;                      // empty: the system store only
  std::vector<std::vector<uint8_t>> pins;   // DER certificates; empty: no pinning
};

// Reads the configuration; `installation_root` is the machine key whose
// "\Certificates" holds the pins (empty: no pins).
TlsConfig LoadTlsConfig(const std::string& installation_root);

// The CA bundle named by "CaFile"; empty when none is named.
std::string ReadCaFile();
// The pins under `installation_root`\Certificates, certificate1 first. A
// missing value or one of another type than REG_BINARY ends the list; a
// zero-length value is a pin that matches nothing.
std::vector<std::vector<uint8_t>> ReadPins(const std::string& installation_root);
// True when `der` is byte for byte one of `pins`.
bool MatchesPin(const std::vector<std::vector<uint8_t>>& pins, const uint8_t* der, size_t size);

// Applies `config` to `curl` (TLS 1.2 or later, the CA bundle, the pins).
// `config` must outlive the transfer.
void ApplyTls(CURL* curl, const TlsConfig& config);

}  // namespace server_tls
