#include "server/http_error.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

namespace http_error {

uint32_t FromCurlCode(int curl_code) {
  switch (curl_code) {  // an int: codes of a later libcurl are no CURLcode yet
    case CURLE_OK: return kNone;

    case CURLE_OPERATION_TIMEDOUT: return kTimeout;
    case CURLE_ABORTED_BY_CALLBACK: return kOperationCancelled;

    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return kNameNotResolved;
    case CURLE_COULDNT_CONNECT:
    case CURLE_INTERFACE_FAILED:
    case CURLE_PROXY: return kCannotConnect;

    // The connection broke while the request was being written: nothing was
    // answered, so the request may be sent again.
    case CURLE_SEND_ERROR: return kResendRequest;
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_UPLOAD_FAILED:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
    case CURLE_QUIC_CONNECT_ERROR: return kConnectionError;

    // Garbage instead of an HTTP response ("HTTP/0.9") or a broken one.
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return kInvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return kRedirectFailed;
    case CURLE_URL_MALFORMAT: return kInvalidUrl;
    case CURLE_AUTH_ERROR:
    case CURLE_LOGIN_DENIED: return kLoginFailure;

    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT: return kSecureFailure;

    case CURLE_OUT_OF_MEMORY:
    case CURLE_FILESIZE_EXCEEDED: return kNotEnoughMemory;
    case CURLE_NOT_BUILT_IN:
    case CURLE_UNKNOWN_OPTION:
    case CURLE_FUNCTION_NOT_FOUND: return kNotSupported;

    default: return kInternalError;
  }
}

uint32_t SecureFlagsFromVerifyResult(long x509_result) {
  switch (x509_result) {
    case X509_V_OK:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return kSecureFlagCertCnInvalid;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: return kSecureFlagCertDateInvalid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED: return kSecureFlagInvalidCa;
    case X509_V_ERR_CERT_REVOKED: return kSecureFlagCertRevoked;
    case X509_V_ERR_UNABLE_TO_GET_CRL: return kSecureFlagRevocationFailed;
    default: return kSecureFlagInvalidCert;
  }
}

}  // namespace http_error
