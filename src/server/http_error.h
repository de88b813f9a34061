// The error numbers of the HTTP client and the one table that maps libcurl's
// result codes onto them. The numbers are those the service has always logged
// ("AsyncReadData failed: 8", "AsyncSendRequest SSL fail: 12175 [0x80000000]"),
// so log readers and the back-off rules keep their meaning.
#pragma once

#include <cstdint>

namespace http_error {

inline constexpr uint32_t kNone = 0;
inline constexpr uint32_t kNotEnoughMemory = 8;         // also: response body over the limit
inline constexpr uint32_t kNotSupported = 50;           // a feature this libcurl lacks
inline constexpr uint32_t kTimeout = 12002;             // connect, send or receive time-out
inline constexpr uint32_t kInternalError = 12004;
inline constexpr uint32_t kInvalidUrl = 12005;
inline constexpr uint32_t kNameNotResolved = 12007;     // server or proxy name
inline constexpr uint32_t kShutdown = 12012;            // the session was closed
inline constexpr uint32_t kLoginFailure = 12015;        // proxy authentication failed
inline constexpr uint32_t kOperationCancelled = 12017;  // Cancel, the stop event; a request never started
inline constexpr uint32_t kCannotConnect = 12029;
inline constexpr uint32_t kConnectionError = 12030;     // connection lost while receiving
inline constexpr uint32_t kResendRequest = 12032;       // connection lost while sending: send again
inline constexpr uint32_t kInvalidServerResponse = 12152;
inline constexpr uint32_t kRedirectFailed = 12156;
inline constexpr uint32_t kSecureFailure = 12175;       // TLS handshake or certificate

// Flags of a secure failure (GetSecureFailureFlags), several may be set.
inline constexpr uint32_t kSecureFlagRevocationFailed = 0x00000001;
inline constexpr uint32_t kSecureFlagInvalidCert = 0x00000004;
inline constexpr uint32_t kSecureFlagCertRevoked = 0x00000008;
inline constexpr uint32_t kSecureFlagInvalidCa = 0x00000010;
inline constexpr uint32_t kSecureFlagCertCnInvalid = 0x00000020;
inline constexpr uint32_t kSecureFlagCertDateInvalid = 0x00000040;
inline constexpr uint32_t kSecureFlagChannelError = 0x80000000;  // the handshake itself failed

// The error number of a libcurl result code (CURLcode as an int); 0 for
// CURLE_OK, kInternalError for codes an HTTP transfer cannot produce.
uint32_t FromCurlCode(int curl_code);

// The secure-failure flags for a certificate that OpenSSL refused with the
// verify result `x509_result` (X509_V_ERR_..., from CURLINFO_SSL_VERIFYRESULT).
// X509_V_OK means that libcurl's own host name check refused it.
uint32_t SecureFlagsFromVerifyResult(long x509_result);

}  // namespace http_error
