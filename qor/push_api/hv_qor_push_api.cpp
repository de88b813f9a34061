// The C entry points of the push library. No exception may reach a C caller:
// each entry catches everything (memory exhaustion, a thread that cannot start).
#include "qor/push_api/hv_qor_push_api.h"

#include "push_service.h"

using qor_push::PushService;

extern "C" {

void QorPushApi_DelayLoadInitialize(void) {
  try {
    PushService::Instance();
  } catch (...) {
  }
}

void QorPushApi_SetServer(const char* host, uint16_t port, const char* installation_root) {
  try {
    PushService::Instance().SetServer(host ? host : "", port, installation_root ? installation_root : "");
  } catch (...) {
  }
}

uint32_t QorPushApi_RegisterCallbackUser(uint32_t* registration, const char* identity, const char* user,
                                         QorPushApi_Callback callback, void* context) {
  if (!registration) return QOR_PUSH_API_INVALID_ARGUMENT;
  *registration = 0;
  if (!identity || !user) return QOR_PUSH_API_INVALID_ARGUMENT;
  try {
    return PushService::Instance().Register(identity, user, callback, context, registration);
  } catch (...) {
    *registration = 0;
    return QOR_PUSH_API_INTERNAL_ERROR;
  }
}

uint32_t QorPushApi_UnregisterCallback(uint32_t registration) {
  try {
    return PushService::Instance().Unregister(registration);
  } catch (...) {
    return QOR_PUSH_API_INTERNAL_ERROR;
  }
}

const char* QorPushApi_ErrorAsString(uint32_t code) {
  switch (code) {
    case QOR_PUSH_API_OK: return "Success";
    case QOR_PUSH_API_INVALID_ARGUMENT: return "Invalid argument";
    case QOR_PUSH_API_REFUSED: return "The push server refused the registration";
    case QOR_PUSH_API_UNKNOWN_REGISTRATION: return "Unknown push registration";
    case QOR_PUSH_API_TOO_MANY_REGISTRATIONS: return "Too many push registrations";
    case QOR_PUSH_API_INTERNAL_ERROR: return "Internal error of the push library";
  }
  return "Unknown push error";
}

}  // extern "C"
