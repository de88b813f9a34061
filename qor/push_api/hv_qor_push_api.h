/*
 * The push library: a hive registers a callback for its user and receives,
 * on the library's own thread, the push-notification id (pns id) of its
 * channel and the push messages for it.
 *
 * Each registration keeps one Server-Sent Events connection to the settings
 * server's push stream for its user: GET <url> with "Authorization: Bearer"
 * and the user's token from the client-authentication library. The URL is
 * "SOFTWARE\Halvern\QOR\Push" "Url" in the machine registry, else
 * https://<server>:<port>/velder/push/v1/stream with the server named by
 * QorPushApi_SetServer. TLS follows the service's rules: the system's trust
 * plus "SOFTWARE\Halvern\QOR\Velder" "CaFile", and the installation's
 * pinned certificates when there are any.
 *
 * The stream's events reach the callback on the registration's own thread:
 * "pns_id" (the first event of every connection; the id is stable per
 * machine and user) as kind 1, "message" (JSON) as kind 0. A dropped or
 * silent connection is made again after a back-off of 1 s doubling to 5 min,
 * with jitter; a 401 asks for a new token once.
 *
 * Strings are NUL-terminated UTF-8. All functions are thread-safe and none
 * throws.
 */
#ifndef HV_QOR_PUSH_API_H
#define HV_QOR_PUSH_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(HV_QOR_PUSH_API_BUILDING)
#define HV_QOR_PUSH_API __attribute__((visibility("default")))
#else
#define HV_QOR_PUSH_API
#endif

/* Kinds of callback calls. */
enum {
  QOR_PUSH_API_KIND_MESSAGE = 0, /* text: a push message, JSON */
  QOR_PUSH_API_KIND_PNS_ID = 1,  /* text: the new pns id of the registration */
};

/* Result codes. */
enum {
  QOR_PUSH_API_OK = 0,
  QOR_PUSH_API_INVALID_ARGUMENT = 1,     /* null pointer, empty identity, user not a SID text */
  QOR_PUSH_API_REFUSED = 2,              /* the push server refused the user (401 after a new token, 403) */
  QOR_PUSH_API_UNKNOWN_REGISTRATION = 3, /* not a handle of a current registration */
  QOR_PUSH_API_TOO_MANY_REGISTRATIONS = 4,
  QOR_PUSH_API_INTERNAL_ERROR = 5, /* out of memory */
};

/* Most registrations at once. */
#define QOR_PUSH_API_MAX_REGISTRATIONS 4096

/* Called on the registration's thread, one call at a time. `text` is valid
 * only during the call. The result is not looked at. A callback may call
 * QorPushApi_UnregisterCallback, also for its own registration. */
typedef uint32_t (*QorPushApi_Callback)(uint32_t kind, const char* text, void* context);

/* Loads the library up front (called through the delay loader). */
HV_QOR_PUSH_API void QorPushApi_DelayLoadInitialize(void);
typedef void (*QorPushApi_DelayLoadInitialize_t)(void);

/* Names the settings server (host, port) from which the stream URL is derived
 * when no "Url" is configured, and the installation's machine key whose
 * "\\Certificates" pins it (null or empty: no pins). */
HV_QOR_PUSH_API void QorPushApi_SetServer(const char* host, uint16_t port, const char* installation_root);
typedef void (*QorPushApi_SetServer_t)(const char*, uint16_t, const char*);

/* Registers `callback` with `context` for `user` (a SID text) on behalf of the
 * service instance `identity`, and waits (up to 10 s) for the first
 * connection's answer: QOR_PUSH_API_REFUSED when the server refuses the user.
 * A server that cannot be reached yet is tried again in the background and
 * the registration succeeds. On success *registration is a handle, never 0;
 * on failure it is 0. */
HV_QOR_PUSH_API uint32_t QorPushApi_RegisterCallbackUser(uint32_t* registration, const char* identity,
                                                         const char* user, QorPushApi_Callback callback,
                                                         void* context);
typedef uint32_t (*QorPushApi_RegisterCallbackUser_t)(uint32_t*, const char*, const char*, QorPushApi_Callback,
                                                    void*);

/* Ends a registration. When this returns, the callback of the registration is
 * not running and is never called again, except when it is called from inside
 * that very callback (which then simply finishes). */
HV_QOR_PUSH_API uint32_t QorPushApi_UnregisterCallback(uint32_t registration);
typedef uint32_t (*QorPushApi_UnregisterCallback_t)(uint32_t);

/* A static English text for a result code (never null). */
HV_QOR_PUSH_API const char* QorPushApi_ErrorAsString(uint32_t code);
typedef const char* (*QorPushApi_ErrorAsString_t)(uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* HV_QOR_PUSH_API_H */
