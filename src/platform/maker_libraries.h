// The plug-in's only road to the maker's libraries. It never links them: each
// function below resolves its namesake in the library on first use (through
// the delay loader, platform/delay_load.h) and forwards the call; later calls
// cost one atomic load.
//
// When a library or function cannot be reached, a call does not crash the
// service: it logs the failure once per function and returns the failure
// value given with each group below (a result code of kLibraryNotFound or
// kFunctionNotFound, a null handle, an empty text). The *_ErrorAsString
// functions know these two codes themselves.
//
// Plug-in start runs the three initialisation entries through DelayLoad, in
// the order IPC, push, proxy resolver; the client-authentication library is
// loaded at its first call.
//
// All functions are thread-safe as far as the library's own function is.
#pragma once

#include <cstdint>

#include "qor/client_auth/hv_qor_client_auth.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "qor/proxy_resolver/qor_proxy_resolver.h"
#include "qor/push_api/hv_qor_push_api.h"

class DelayImportFunction;

namespace maker {

// The library files.
inline constexpr char kIpcLibrary[] = "libhv_qor_ipc.so";
inline constexpr char kPushApiLibrary[] = "libhv_qor_push_api.so";
inline constexpr char kProxyResolverLibrary[] = "libqor_proxy_resolver.so";
inline constexpr char kClientAuthLibrary[] = "libhv_qor_client_auth.so";

// Result codes of a forwarded call that could not be made.
inline constexpr uint32_t kLibraryNotFound = 0xC06D007E;
inline constexpr uint32_t kFunctionNotFound = 0xC06D007F;

// The initialisation entries for DelayLoad.
const DelayImportFunction& HvIPC_DelayLoadInitializeEntry();
const DelayImportFunction& QorPushApi_DelayLoadInitializeEntry();
const DelayImportFunction& QorProxyResolver_DelayLoadInitializeEntry();

// IPC library (qor/ipc/hv_qor_ipc.h). Failure values: a result code; 0 (not an
// administrator); a null SID; an empty channel name; nothing for the void ones.
uint32_t HvIPC_RunServer(HvIpcServer** server, const char* identity, const char* service, uint32_t flags,
                         HvIPC_MessageCallback callback, void* context, uint32_t threads);
uint32_t HvIPC_StopServer(HvIpcServer* server);
int32_t HvIPC_MessageIsClientAdmin(HvIpcMessage* message);
char* HvIPC_MessageGetClientSID(HvIpcMessage* message);
void HvIPC_MessageFreeSID(char* sid);
const char* HvIPC_MessageGetSenderChannel(HvIpcMessage* message);
uint32_t HvIPC_MessageSetResponse(HvIpcMessage* message, const uint8_t* bytes, uint32_t count);
void HvIPC_MessageKeepConnection(HvIpcMessage* message, int32_t keep);
void HvIPC_SetLogCallback(HvIPC_LogCallback callback, void* context);
uint32_t HvIPC_Send(const char* identity, const char* channel, uint32_t frame_kind, uint32_t kind,
                    const uint8_t* bytes, uint32_t count, void* reply, const HvIpcSendOptions* options);
uint32_t HvIPC_SendToChannels(const char* identity, const char* const* channels, uint32_t channel_count,
                              uint32_t frame_kind, uint32_t kind, const uint8_t* bytes, uint32_t count,
                              const HvIpcSendOptions* options, uint32_t* results);
uint32_t HvIPC_ClientConnect(HvIpcClient** client, const char* identity, const char* service, uint32_t timeout_ms,
                             HvIPC_NotificationCallback callback, void* context);
uint32_t HvIPC_ClientRequest(HvIpcClient* client, uint32_t kind, const uint8_t* bytes, uint32_t count,
                             uint32_t timeout_ms, uint8_t** response, uint32_t* response_count);
void HvIPC_ClientFreeBuffer(uint8_t* buffer);
const char* HvIPC_ClientGetChannel(HvIpcClient* client);
void HvIPC_ClientClose(HvIpcClient* client);

// Push library (qor/push_api/hv_qor_push_api.h). Failure values: a result
// code (*registration is then 0).
uint32_t QorPushApi_RegisterCallbackUser(uint32_t* registration, const char* identity, const char* user,
                                         QorPushApi_Callback callback, void* context);
uint32_t QorPushApi_UnregisterCallback(uint32_t registration);
const char* QorPushApi_ErrorAsString(uint32_t code);
void QorPushApi_SetServer(const char* host, uint16_t port, const char* installation_root);

// Proxy resolver library (qor/proxy_resolver/qor_proxy_resolver.h). Failure
// values: session 0 (no session), else a result code (*proxy is then null).
uint32_t QorProxyResolver_OpenSession(const char* identity);
uint32_t QorProxyResolver_SetServer(uint32_t session, const char* server_host);
uint32_t QorProxyResolver_GetProxy(uint32_t session, const char** proxy);
uint32_t QorProxyResolver_ProxySucceeded(uint32_t session);
uint32_t QorProxyResolver_ProxyFailed(uint32_t session);
uint32_t QorProxyResolver_Reset(uint32_t session);
uint32_t QorProxyResolver_CloseSession(uint32_t session);
const char* QorProxyResolver_ErrorAsString(uint32_t code);

// Client-authentication library (qor/client_auth/hv_qor_client_auth.h).
// Failure values: a result code (*token is then null).
uint32_t QorClientAuth_GetBearerToken(const char* user_sid, char** token);
void QorClientAuth_FreeString(char* text);
uint32_t QorClientAuth_RefreshToken(const char* user_sid);
const char* QorClientAuth_ErrorAsString(uint32_t code);
void QorClientAuth_SetServer(const char* host, uint16_t port, const char* installation_root);

}  // namespace maker
