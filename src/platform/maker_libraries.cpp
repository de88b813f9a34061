#include "platform/maker_libraries.h"

#include <atomic>

#include "logging/log.h"
#include "platform/delay_import.h"

namespace maker {
namespace {

// One function of a maker library: its slot and whether a failure to reach it
// has been logged already (once per function and process, so that a missing
// library does not flood the log at every update cycle).
template <typename Fn>
class MakerFunction {
 public:
  constexpr MakerFunction(DelayImportLibrary& library, const char* name) : slot_(library, name) {}

  const DelayImport<Fn>& slot() const { return slot_; }

  // The function, or null with `*failure_code` set.
  Fn Get(uint32_t* failure_code) {
    DelayImportFailure failure = DelayImportFailure::kNone;
    if (Fn function = slot_.Get(&failure)) return function;
    const bool no_function = failure == DelayImportFailure::kFunctionNotFound;
    *failure_code = no_function ? kFunctionNotFound : kLibraryNotFound;
    if (!reported_.exchange(true, std::memory_order_relaxed)) {
      HV_LOG_ERROR("Cannot call {} of '{}': {}", slot_.name(), slot_.library().file_name(),
                   no_function ? "function not found" : "library not found");
    }
    return nullptr;
  }

 private:
  DelayImport<Fn> slot_;
  std::atomic<bool> reported_{false};
};

// Forwards a call whose result is a result code.
template <typename Fn, typename... Args>
uint32_t CallForCode(MakerFunction<Fn>& function, Args... args) {
  uint32_t code = 0;
  Fn f = function.Get(&code);
  return f ? f(args...) : code;
}

// The text of the two codes this layer makes up; null for any other.
const char* FailureText(uint32_t code) {
  if (code == kLibraryNotFound) return "The library could not be loaded";
  if (code == kFunctionNotFound) return "The library does not export the function called";
  return nullptr;
}

// Slots are constant-initialised: usable from any static constructor.
constinit DelayImportLibrary ipc(kIpcLibrary);
constinit DelayImportLibrary push(kPushApiLibrary);
constinit DelayImportLibrary proxy(kProxyResolverLibrary);
constinit DelayImportLibrary auth(kClientAuthLibrary);

constinit MakerFunction<HvIPC_DelayLoadInitialize_t> ipc_initialize(ipc, "HvIPC_DelayLoadInitialize");
constinit MakerFunction<HvIPC_RunServer_t> ipc_run_server(ipc, "HvIPC_RunServer");
constinit MakerFunction<HvIPC_StopServer_t> ipc_stop_server(ipc, "HvIPC_StopServer");
constinit MakerFunction<HvIPC_MessageIsClientAdmin_t> ipc_is_admin(ipc, "HvIPC_MessageIsClientAdmin");
constinit MakerFunction<HvIPC_MessageGetClientSID_t> ipc_get_sid(ipc, "HvIPC_MessageGetClientSID");
constinit MakerFunction<HvIPC_MessageFreeSID_t> ipc_free_sid(ipc, "HvIPC_MessageFreeSID");
constinit MakerFunction<HvIPC_MessageGetSenderChannel_t> ipc_sender_channel(ipc, "HvIPC_MessageGetSenderChannel");
constinit MakerFunction<HvIPC_MessageSetResponse_t> ipc_set_response(ipc, "HvIPC_MessageSetResponse");
constinit MakerFunction<HvIPC_Send_t> ipc_send(ipc, "HvIPC_Send");
constinit MakerFunction<HvIPC_SendToChannels_t> ipc_send_to_channels(ipc, "HvIPC_SendToChannels");
constinit MakerFunction<HvIPC_MessageKeepConnection_t> ipc_keep(ipc, "HvIPC_MessageKeepConnection");
constinit MakerFunction<HvIPC_SetLogCallback_t> ipc_set_log(ipc, "HvIPC_SetLogCallback");
constinit MakerFunction<HvIPC_ClientConnect_t> ipc_client_connect(ipc, "HvIPC_ClientConnect");
constinit MakerFunction<HvIPC_ClientRequest_t> ipc_client_request(ipc, "HvIPC_ClientRequest");
constinit MakerFunction<HvIPC_ClientFreeBuffer_t> ipc_client_free_buffer(ipc, "HvIPC_ClientFreeBuffer");
constinit MakerFunction<HvIPC_ClientGetChannel_t> ipc_client_channel(ipc, "HvIPC_ClientGetChannel");
constinit MakerFunction<HvIPC_ClientClose_t> ipc_client_close(ipc, "HvIPC_ClientClose");

constinit MakerFunction<QorPushApi_DelayLoadInitialize_t> push_initialize(push, "QorPushApi_DelayLoadInitialize");
constinit MakerFunction<QorPushApi_RegisterCallbackUser_t> push_register(push, "QorPushApi_RegisterCallbackUser");
constinit MakerFunction<QorPushApi_UnregisterCallback_t> push_unregister(push, "QorPushApi_UnregisterCallback");
constinit MakerFunction<QorPushApi_ErrorAsString_t> push_error_text(push, "QorPushApi_ErrorAsString");

constinit MakerFunction<QorProxyResolver_DelayLoadInitialize_t> proxy_initialize(
    proxy, "QorProxyResolver_DelayLoadInitialize");
constinit MakerFunction<QorProxyResolver_OpenSession_t> proxy_open(proxy, "QorProxyResolver_OpenSession");
constinit MakerFunction<QorProxyResolver_SetServer_t> proxy_set_server(proxy, "QorProxyResolver_SetServer");
constinit MakerFunction<QorProxyResolver_GetProxy_t> proxy_get(proxy, "QorProxyResolver_GetProxy");
constinit MakerFunction<QorProxyResolver_ProxySucceeded_t> proxy_succeeded(proxy, "QorProxyResolver_ProxySucceeded");
constinit MakerFunction<QorProxyResolver_ProxyFailed_t> proxy_failed(proxy, "QorProxyResolver_ProxyFailed");
constinit MakerFunction<QorProxyResolver_Reset_t> proxy_reset(proxy, "QorProxyResolver_Reset");
constinit MakerFunction<QorProxyResolver_CloseSession_t> proxy_close(proxy, "QorProxyResolver_CloseSession");
constinit MakerFunction<QorProxyResolver_ErrorAsString_t> proxy_error_text(proxy, "QorProxyResolver_ErrorAsString");

constinit MakerFunction<QorClientAuth_GetBearerToken_t> auth_get_token(auth, "QorClientAuth_GetBearerToken");
constinit MakerFunction<QorClientAuth_FreeString_t> auth_free_string(auth, "QorClientAuth_FreeString");
constinit MakerFunction<QorClientAuth_RefreshToken_t> auth_refresh(auth, "QorClientAuth_RefreshToken");
constinit MakerFunction<QorClientAuth_ErrorAsString_t> auth_error_text(auth, "QorClientAuth_ErrorAsString");
constinit MakerFunction<QorClientAuth_SetServer_t> auth_set_server(auth, "QorClientAuth_SetServer");
constinit MakerFunction<QorPushApi_SetServer_t> push_set_server(push, "QorPushApi_SetServer");

}  // namespace

const DelayImportFunction& HvIPC_DelayLoadInitializeEntry() { return ipc_initialize.slot(); }
const DelayImportFunction& QorPushApi_DelayLoadInitializeEntry() { return push_initialize.slot(); }
const DelayImportFunction& QorProxyResolver_DelayLoadInitializeEntry() { return proxy_initialize.slot(); }

// ------------------------------------------------------------------ IPC

uint32_t HvIPC_RunServer(HvIpcServer** server, const char* identity, const char* service, uint32_t flags,
                         HvIPC_MessageCallback callback, void* context, uint32_t threads) {
  if (server) *server = nullptr;
  return CallForCode(ipc_run_server, server, identity, service, flags, callback, context, threads);
}

uint32_t HvIPC_StopServer(HvIpcServer* server) { return CallForCode(ipc_stop_server, server); }

int32_t HvIPC_MessageIsClientAdmin(HvIpcMessage* message) {
  uint32_t code = 0;
  auto f = ipc_is_admin.Get(&code);
  return f ? f(message) : 0;
}

char* HvIPC_MessageGetClientSID(HvIpcMessage* message) {
  uint32_t code = 0;
  auto f = ipc_get_sid.Get(&code);
  return f ? f(message) : nullptr;
}

void HvIPC_MessageFreeSID(char* sid) {
  if (!sid) return;
  uint32_t code = 0;
  if (auto f = ipc_free_sid.Get(&code)) f(sid);
}

const char* HvIPC_MessageGetSenderChannel(HvIpcMessage* message) {
  uint32_t code = 0;
  auto f = ipc_sender_channel.Get(&code);
  return f ? f(message) : "";
}

uint32_t HvIPC_MessageSetResponse(HvIpcMessage* message, const uint8_t* bytes, uint32_t count) {
  return CallForCode(ipc_set_response, message, bytes, count);
}

void HvIPC_MessageKeepConnection(HvIpcMessage* message, int32_t keep) {
  uint32_t code = 0;
  if (auto f = ipc_keep.Get(&code)) f(message, keep);
}

void HvIPC_SetLogCallback(HvIPC_LogCallback callback, void* context) {
  uint32_t code = 0;
  if (auto f = ipc_set_log.Get(&code)) f(callback, context);
}

uint32_t HvIPC_Send(const char* identity, const char* channel, uint32_t frame_kind, uint32_t kind,
                    const uint8_t* bytes, uint32_t count, void* reply, const HvIpcSendOptions* options) {
  return CallForCode(ipc_send, identity, channel, frame_kind, kind, bytes, count, reply, options);
}

uint32_t HvIPC_SendToChannels(const char* identity, const char* const* channels, uint32_t channel_count,
                              uint32_t frame_kind, uint32_t kind, const uint8_t* bytes, uint32_t count,
                              const HvIpcSendOptions* options, uint32_t* results) {
  return CallForCode(ipc_send_to_channels, identity, channels, channel_count, frame_kind, kind, bytes, count, options,
                     results);
}

uint32_t HvIPC_ClientConnect(HvIpcClient** client, const char* identity, const char* service, uint32_t timeout_ms,
                             HvIPC_NotificationCallback callback, void* context) {
  if (client) *client = nullptr;
  return CallForCode(ipc_client_connect, client, identity, service, timeout_ms, callback, context);
}

uint32_t HvIPC_ClientRequest(HvIpcClient* client, uint32_t kind, const uint8_t* bytes, uint32_t count,
                             uint32_t timeout_ms, uint8_t** response, uint32_t* response_count) {
  if (response) *response = nullptr;
  if (response_count) *response_count = 0;
  return CallForCode(ipc_client_request, client, kind, bytes, count, timeout_ms, response, response_count);
}

void HvIPC_ClientFreeBuffer(uint8_t* buffer) {
  if (!buffer) return;
  uint32_t code = 0;
  if (auto f = ipc_client_free_buffer.Get(&code)) f(buffer);
}

const char* HvIPC_ClientGetChannel(HvIpcClient* client) {
  uint32_t code = 0;
  auto f = ipc_client_channel.Get(&code);
  return f ? f(client) : "";
}

void HvIPC_ClientClose(HvIpcClient* client) {
  if (!client) return;
  uint32_t code = 0;
  if (auto f = ipc_client_close.Get(&code)) f(client);
}

// ------------------------------------------------------------------ push

uint32_t QorPushApi_RegisterCallbackUser(uint32_t* registration, const char* identity, const char* user,
                                         QorPushApi_Callback callback, void* context) {
  if (registration) *registration = 0;
  return CallForCode(push_register, registration, identity, user, callback, context);
}

uint32_t QorPushApi_UnregisterCallback(uint32_t registration) {
  return CallForCode(push_unregister, registration);
}

const char* QorPushApi_ErrorAsString(uint32_t code) {
  if (const char* text = FailureText(code)) return text;
  uint32_t failure = 0;
  auto f = push_error_text.Get(&failure);
  return f ? f(code) : "Unknown error (the push library is not available)";
}

// ------------------------------------------------------------------ proxy resolver

uint32_t QorProxyResolver_OpenSession(const char* identity) {
  uint32_t code = 0;
  auto f = proxy_open.Get(&code);
  return f ? f(identity) : 0;
}

uint32_t QorProxyResolver_SetServer(uint32_t session, const char* server_host) {
  return CallForCode(proxy_set_server, session, server_host);
}

uint32_t QorProxyResolver_GetProxy(uint32_t session, const char** proxy_text) {
  if (proxy_text) *proxy_text = nullptr;
  return CallForCode(proxy_get, session, proxy_text);
}

uint32_t QorProxyResolver_ProxySucceeded(uint32_t session) { return CallForCode(proxy_succeeded, session); }
uint32_t QorProxyResolver_ProxyFailed(uint32_t session) { return CallForCode(proxy_failed, session); }
uint32_t QorProxyResolver_Reset(uint32_t session) { return CallForCode(proxy_reset, session); }
uint32_t QorProxyResolver_CloseSession(uint32_t session) { return CallForCode(proxy_close, session); }

const char* QorProxyResolver_ErrorAsString(uint32_t code) {
  if (const char* text = FailureText(code)) return text;
  uint32_t failure = 0;
  auto f = proxy_error_text.Get(&failure);
  return f ? f(code) : "Unknown error (the proxy resolver library is not available)";
}

// ------------------------------------------------------------------ client authentication

uint32_t QorClientAuth_GetBearerToken(const char* user_sid, char** token) {
  if (token) *token = nullptr;
  return CallForCode(auth_get_token, user_sid, token);
}

void QorClientAuth_SetServer(const char* host, uint16_t port, const char* installation_root) {
  uint32_t code = 0;
  if (auto f = auth_set_server.Get(&code)) f(host, port, installation_root);
}

void QorPushApi_SetServer(const char* host, uint16_t port, const char* installation_root) {
  uint32_t code = 0;
  if (auto f = push_set_server.Get(&code)) f(host, port, installation_root);
}

void QorClientAuth_FreeString(char* text) {
  // A text can only have come from the library, which is then loaded.
  if (!text) return;
  uint32_t code = 0;
  if (auto f = auth_free_string.Get(&code)) f(text);
}

uint32_t QorClientAuth_RefreshToken(const char* user_sid) { return CallForCode(auth_refresh, user_sid); }

const char* QorClientAuth_ErrorAsString(uint32_t code) {
  if (const char* text = FailureText(code)) return text;
  uint32_t failure = 0;
  auto f = auth_error_text.Get(&failure);
  return f ? f(code) : "Unknown error (the client authentication library is not available)";
}

}  // namespace maker
