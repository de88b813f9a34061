/*
 * The client-authentication library: the bearer token with which the settings
 * service speaks to the settings server on behalf of a user.
 *
 * Where tokens come from, first match wins:
 *   1. A static token: the registry store, machine root, key
 *      "SOFTWARE\Halvern\QOR\ClientAuth\Tokens", one REG_SZ value per
 *      user named by the user's SID text. An override for tests and machines
 *      signed in by hand; read at every call.
 *   2. The settings server's token endpoint: POST {"enrolment_secret",
 *      "sid"} to "SOFTWARE\Halvern\QOR\ClientAuth" "Url", else to
 *      https://<server>:<port>/velder/auth/v1/token with the server named by
 *      QorClientAuth_SetServer. The secret is that key's "EnrolmentSecret"
 *      (REG_SZ, readable by root only). The token is kept in memory until a
 *      minute before it expires.
 * TLS: the system's trust plus "SOFTWARE\Halvern\QOR\Velder" "CaFile"; the
 * server's pinned certificates when the installation has any.
 *
 * A token must be a well-formed bearer credential: 1 to 16384 characters of
 * ASCII letters, digits and "-._~+/", optionally followed by "=" padding.
 * Anything else is refused, so no value can inject text into an HTTP header.
 * No token and no secret is ever written to a log or an error text.
 *
 * Refresh: when the settings server rejects a token, the caller asks for a
 * refresh. An endpoint token is dropped and the next call asks for a new one;
 * a static token is held back (QOR_CLIENT_AUTH_TOKEN_REJECTED) until a
 * different one is stored.
 *
 * Strings are NUL-terminated UTF-8. All functions are thread-safe and none
 * throws.
 */
#ifndef HV_QOR_CLIENT_AUTH_H
#define HV_QOR_CLIENT_AUTH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(HV_QOR_CLIENT_AUTH_BUILDING)
#define HV_QOR_CLIENT_AUTH_API __attribute__((visibility("default")))
#else
#define HV_QOR_CLIENT_AUTH_API
#endif

/* Result codes, and what the settings service does with them. */
enum {
  QOR_CLIENT_AUTH_OK = 0,
  /* 1: null pointer, or the user is not a SID text. Retry late. */
  QOR_CLIENT_AUTH_INVALID_ARGUMENT = 1,
  /* 2: out of memory. Retry late. */
  QOR_CLIENT_AUTH_INTERNAL_ERROR = 2,
  /* 3: the registry store cannot be read, the token endpoint cannot be
   * reached or answered 5xx/429, or no server is known yet. Retry soon. */
  QOR_CLIENT_AUTH_STORE_UNAVAILABLE = 3,
  /* 4: the static token was rejected and no new one is stored yet. Retry later. */
  QOR_CLIENT_AUTH_TOKEN_REJECTED = 4,
  /* 5: the stored value or the endpoint's answer is no valid token. Retry soon. */
  QOR_CLIENT_AUTH_TOKEN_MALFORMED = 5,
  /* 6: signed out: no static token and no enrolment secret, or the endpoint
   * refused the secret (401) or this client (403). The hive disconnects. */
  QOR_CLIENT_AUTH_NO_TOKEN = 6,
};

/* Where the configuration and the static tokens live. */
#define QOR_CLIENT_AUTH_KEY "SOFTWARE\\Halvern\\QOR\\ClientAuth"
#define QOR_CLIENT_AUTH_TOKENS_KEY "SOFTWARE\\Halvern\\QOR\\ClientAuth\\Tokens"
#define QOR_CLIENT_AUTH_SECRET_VALUE "EnrolmentSecret"
#define QOR_CLIENT_AUTH_URL_VALUE "Url"
#define QOR_CLIENT_AUTH_PATH "/velder/auth/v1/token"
/* The longest token accepted. */
#define QOR_CLIENT_AUTH_MAX_TOKEN 16384

/* Reads the bearer token of `user_sid`. On success *token is a copy on the
 * heap, released with QorClientAuth_FreeString; on failure it is null. */
HV_QOR_CLIENT_AUTH_API uint32_t QorClientAuth_GetBearerToken(const char* user_sid, char** token);
typedef uint32_t (*QorClientAuth_GetBearerToken_t)(const char*, char**);

/* Releases a text returned by this library; null is allowed. */
HV_QOR_CLIENT_AUTH_API void QorClientAuth_FreeString(char* text);
typedef void (*QorClientAuth_FreeString_t)(char*);

/* Names the settings server (host, port) whose token endpoint is asked when
 * no "Url" is configured, and the installation's machine key whose
 * "\\Certificates" pins it (null or empty: no pins). Called by the service
 * before each exchange; a change of server drops the cached tokens. */
HV_QOR_CLIENT_AUTH_API void QorClientAuth_SetServer(const char* host, uint16_t port, const char* installation_root);
typedef void (*QorClientAuth_SetServer_t)(const char*, uint16_t, const char*);

/* The server rejected the token of `user_sid`: see "Refresh" above. Returns
 * QOR_CLIENT_AUTH_OK, or the code GetBearerToken would return when there is no
 * usable token to reject. */
HV_QOR_CLIENT_AUTH_API uint32_t QorClientAuth_RefreshToken(const char* user_sid);
typedef uint32_t (*QorClientAuth_RefreshToken_t)(const char*);

/* A static English text for a result code (never null, never released). */
HV_QOR_CLIENT_AUTH_API const char* QorClientAuth_ErrorAsString(uint32_t code);
typedef const char* (*QorClientAuth_ErrorAsString_t)(uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* HV_QOR_CLIENT_AUTH_H */
