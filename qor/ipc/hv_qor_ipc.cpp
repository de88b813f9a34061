// The exported C functions: argument checks and the step from the C handles
// to the classes behind them. No C++ exception leaves this file.
#include "qor/ipc/hv_qor_ipc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/sid.h"
#include "qor/ipc/channel_registry.h"
#include "qor/ipc/debug_log.h"
#include "qor/ipc/frame.h"
#include "qor/ipc/ipc_client.h"
#include "qor/ipc/ipc_server.h"
#include "qor/ipc/server_connection.h"

using qor_ipc::IpcClient;
using qor_ipc::IpcServer;

extern "C" {

void HvIPC_DelayLoadInitialize(void) {}

uint32_t HvIPC_RunServer(HvIpcServer** server, const char* identity, const char* service, uint32_t flags,
                         HvIPC_MessageCallback callback, void* context, uint32_t threads) {
  if (!server) return HV_IPC_INVALID_PARAMETER;
  *server = nullptr;
  if (!identity || !service) return HV_IPC_INVALID_PARAMETER;
  try {
    IpcServer* s = nullptr;
    const uint32_t rc = IpcServer::Start(identity, service, flags, callback, context, threads, &s);
    if (rc == HV_IPC_OK) *server = s;
    return rc;
  } catch (const std::exception& e) {
    qor_ipc::DebugLog("RunServer failed: {}", e.what());
    return HV_IPC_ERROR;
  }
}

uint32_t HvIPC_StopServer(HvIpcServer* server) {
  if (!server) return HV_IPC_INVALID_PARAMETER;
  return static_cast<IpcServer*>(server)->Stop();
}

int32_t HvIPC_MessageIsClientAdmin(HvIpcMessage* message) {
  return message && message->connection && message->connection->uid() == 0 ? 1 : 0;
}

char* HvIPC_MessageGetClientSID(HvIpcMessage* message) {
  if (!message || !message->connection) return nullptr;
  try {
    return ::strdup(platform::SidForUid(message->connection->uid()).c_str());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void HvIPC_MessageFreeSID(char* sid) { std::free(sid); }

const char* HvIPC_MessageGetSenderChannel(HvIpcMessage* message) {
  if (!message || !message->connection) return "";
  return message->connection->channel().c_str();
}

void HvIPC_MessageKeepConnection(HvIpcMessage* message, int32_t keep) {
  if (message && message->connection) message->connection->SetKeep(keep != 0);
}

void HvIPC_SetLogCallback(HvIPC_LogCallback callback, void* context) { qor_ipc::SetLogCallback(callback, context); }

uint32_t HvIPC_MessageSetResponse(HvIpcMessage* message, const uint8_t* bytes, uint32_t count) {
  if (!message || (count > 0 && !bytes)) return HV_IPC_INVALID_PARAMETER;
  if (count > HV_IPC_MAX_PAYLOAD) {
    message->response.clear();
    message->response_too_large = true;
    return HV_IPC_TOO_LARGE;
  }
  try {
    message->response.assign(reinterpret_cast<const char*>(bytes), count);
  } catch (const std::bad_alloc&) {
    return HV_IPC_ERROR;
  }
  message->response_too_large = false;
  return HV_IPC_OK;
}

namespace {

// Checks the arguments of a send and reads its options.
uint32_t SendParameters(const char* identity, uint32_t frame_kind, uint32_t kind, const uint8_t* bytes,
                        uint32_t count, const HvIpcSendOptions* options, uint32_t* timeout_ms, uint8_t* delivery) {
  if (!identity || frame_kind != HV_IPC_SEND_NOTIFICATION || kind == HV_IPC_KIND_DISCONNECTED ||
      (count > 0 && !bytes)) {
    return HV_IPC_INVALID_PARAMETER;
  }
  *timeout_ms = HV_IPC_DEFAULT_SEND_TIMEOUT_MS;
  *delivery = HV_IPC_DELIVERY_WRITTEN;
  if (options) {
    if (options->size < 8) return HV_IPC_INVALID_PARAMETER;
    *timeout_ms = options->timeout_ms;
    // Older, shorter records end before the field; they wait for the write.
    if (options->size >= offsetof(HvIpcSendOptions, delivery) + 1) *delivery = options->delivery;
    if (*delivery > HV_IPC_DELIVERY_QUEUE_OR_CLOSE) return HV_IPC_INVALID_PARAMETER;
  }
  if (count > HV_IPC_MAX_FRAME_BODY - 4) return HV_IPC_TOO_LARGE;
  return HV_IPC_OK;
}

uint32_t SendFrame(const char* identity, const char* channel, const std::shared_ptr<const std::string>& frame,
                   uint32_t timeout_ms, uint8_t delivery) {
  if (!channel) return HV_IPC_INVALID_PARAMETER;
  auto connection = qor_ipc::ChannelRegistry::Instance().Find(identity, channel);
  if (!connection) return HV_IPC_NOT_FOUND;
  return connection->Send(frame, timeout_ms, delivery);
}

}  // namespace

uint32_t HvIPC_Send(const char* identity, const char* channel, uint32_t frame_kind, uint32_t kind,
                    const uint8_t* bytes, uint32_t count, void* reply, const HvIpcSendOptions* options) {
  uint32_t timeout_ms = 0;
  uint8_t delivery = 0;
  if (!channel || reply != nullptr) return HV_IPC_INVALID_PARAMETER;
  const uint32_t rc = SendParameters(identity, frame_kind, kind, bytes, count, options, &timeout_ms, &delivery);
  if (rc != HV_IPC_OK) return rc;
  try {
    return SendFrame(identity, channel,
                     std::make_shared<const std::string>(qor_ipc::MakeFrame(
                         HV_IPC_FRAME_NOTIFICATION, {kind}, std::string_view(reinterpret_cast<const char*>(bytes), count))),
                     timeout_ms, delivery);
  } catch (const std::bad_alloc&) {
    return HV_IPC_ERROR;
  }
}

uint32_t HvIPC_SendToChannels(const char* identity, const char* const* channels, uint32_t channel_count,
                              uint32_t frame_kind, uint32_t kind, const uint8_t* bytes, uint32_t count,
                              const HvIpcSendOptions* options, uint32_t* results) {
  uint32_t timeout_ms = 0;
  uint8_t delivery = 0;
  if (channel_count > 0 && (!channels || !results)) return HV_IPC_INVALID_PARAMETER;
  const uint32_t rc = SendParameters(identity, frame_kind, kind, bytes, count, options, &timeout_ms, &delivery);
  if (rc != HV_IPC_OK) return rc;
  std::shared_ptr<const std::string> frame;
  try {
    frame = std::make_shared<const std::string>(qor_ipc::MakeFrame(
        HV_IPC_FRAME_NOTIFICATION, {kind}, std::string_view(reinterpret_cast<const char*>(bytes), count)));
  } catch (const std::bad_alloc&) {
    std::fill(results, results + channel_count, uint32_t{HV_IPC_ERROR});
    return HV_IPC_OK;
  }
  for (uint32_t i = 0; i < channel_count; ++i) {
    try {
      results[i] = SendFrame(identity, channels[i], frame, timeout_ms, delivery);
    } catch (const std::bad_alloc&) {
      results[i] = HV_IPC_ERROR;
    }
  }
  return HV_IPC_OK;
}

uint32_t HvIPC_ClientConnect(HvIpcClient** client, const char* identity, const char* service, uint32_t timeout_ms,
                             HvIPC_NotificationCallback callback, void* context) {
  if (!client) return HV_IPC_INVALID_PARAMETER;
  *client = nullptr;
  if (!identity || !service) return HV_IPC_INVALID_PARAMETER;
  try {
    IpcClient* c = nullptr;
    const uint32_t rc = IpcClient::Connect(identity, service, timeout_ms, callback, context, &c);
    if (rc == HV_IPC_OK) *client = c;
    return rc;
  } catch (const std::exception& e) {
    qor_ipc::DebugLog("ClientConnect failed: {}", e.what());
    return HV_IPC_ERROR;
  }
}

uint32_t HvIPC_ClientRequest(HvIpcClient* client, uint32_t kind, const uint8_t* bytes, uint32_t count,
                             uint32_t timeout_ms, uint8_t** response, uint32_t* response_count) {
  if (!client || !response || !response_count) return HV_IPC_INVALID_PARAMETER;
  *response = nullptr;
  *response_count = 0;
  try {
    std::string payload;
    const uint32_t rc = static_cast<IpcClient*>(client)->Request(kind, bytes, count, timeout_ms, &payload);
    if (rc != HV_IPC_OK || payload.empty()) return rc;
    auto* buffer = static_cast<uint8_t*>(std::malloc(payload.size()));
    if (!buffer) return HV_IPC_ERROR;
    std::memcpy(buffer, payload.data(), payload.size());
    *response = buffer;
    *response_count = static_cast<uint32_t>(payload.size());
    return HV_IPC_OK;
  } catch (const std::bad_alloc&) {
    return HV_IPC_ERROR;
  }
}

void HvIPC_ClientFreeBuffer(uint8_t* buffer) { std::free(buffer); }

const char* HvIPC_ClientGetChannel(HvIpcClient* client) {
  return client ? static_cast<IpcClient*>(client)->channel().c_str() : "";
}

void HvIPC_ClientClose(HvIpcClient* client) {
  if (client) static_cast<IpcClient*>(client)->Close();
}

}  // extern "C"
