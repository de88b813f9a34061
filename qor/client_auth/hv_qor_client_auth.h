/*
 * The client-authentication library: the bearer token with which the settings
 * service speaks to the settings server on behalf of a user.
 *
 * Where tokens come from: the registry store, machine root
 * (HKEY_LOCAL_MACHINE), key "SOFTWARE\Halvern\QOR\ClientAuth\Tokens"; one
 * value per user, named by the user's SID text (names compare without regard
 * to case), of type REG_SZ or REG_EXPAND_SZ (used as it stands). Whoever signs
 * a user in writes the value; removing it signs the user out. Only the owner of
 * the machine root (root) can write there. The registry directory is that of
 * the registry store ($HALVERN_REGISTRY_DIR, else /var/lib/halvern/registry).
 *
 * A token must be a well-formed bearer credential: 1 to 16384 characters of
 * ASCII letters, digits and "-._~+/", optionally followed by "=" padding.
 * Anything else (spaces, line breaks, other characters) is refused, so a
 * stored value can never inject text into an HTTP header.
 *
 * Refresh: when the server rejects a token, the caller asks for a refresh.
 * This version cannot obtain tokens itself; it remembers the rejected token
 * (in this process) and answers QOR_CLIENT_AUTH_TOKEN_REJECTED instead of
 * handing it out again, until a different token is stored for the user.
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

/* Result codes. The settings service retries soon after 3 and 5, later after
 * 4, and treats the user as signed out after 6. */
enum {
  QOR_CLIENT_AUTH_OK = 0,
  QOR_CLIENT_AUTH_INVALID_ARGUMENT = 1,  /* null pointer, or the user is not a SID text */
  QOR_CLIENT_AUTH_INTERNAL_ERROR = 2,    /* out of memory */
  QOR_CLIENT_AUTH_STORE_UNAVAILABLE = 3, /* the registry store could not be read (disk, permissions, corruption) */
  QOR_CLIENT_AUTH_TOKEN_REJECTED = 4,    /* the stored token was rejected and no new one is stored yet */
  QOR_CLIENT_AUTH_TOKEN_MALFORMED = 5,   /* the stored value is of another type or not a valid token */
  QOR_CLIENT_AUTH_NO_TOKEN = 6,          /* no token is stored for the user: signed out */
};

/* Where the tokens live. */
#define QOR_CLIENT_AUTH_TOKENS_KEY "SOFTWARE\\Halvern\\QOR\\ClientAuth\\Tokens"
/* The longest token accepted. */
#define QOR_CLIENT_AUTH_MAX_TOKEN 16384

/* Reads the bearer token of `user_sid`. On success *token is a copy on the
 * heap, released with QorClientAuth_FreeString; on failure it is null. */
HV_QOR_CLIENT_AUTH_API uint32_t QorClientAuth_GetBearerToken(const char* user_sid, char** token);
typedef uint32_t (*QorClientAuth_GetBearerToken_t)(const char*, char**);

/* Releases a text returned by this library; null is allowed. */
HV_QOR_CLIENT_AUTH_API void QorClientAuth_FreeString(char* text);
typedef void (*QorClientAuth_FreeString_t)(char*);

/* Marks the token now stored for `user_sid` as rejected (see above). Returns
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
