#include "plugin/ipc_notification_sender.h"

#include <limits>

#include "platform/maker_libraries.h"

static_assert(sizeof(HvIpcSendOptions) == 24, "the IPC library expects 24 bytes of options");

HvIpcSendOptions IpcNotificationSender::SendOptions() {
  HvIpcSendOptions options{};
  options.size = sizeof(HvIpcSendOptions);
  options.timeout_ms = kTimeoutMs;
  options.delivery = HV_IPC_DELIVERY_QUEUE_OR_CLOSE;
  return options;
}

uint32_t IpcNotificationSender::Send(const std::string& identity, const std::string& channel,
                                     std::span<const uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) return HV_IPC_TOO_LARGE;
  const HvIpcSendOptions options = SendOptions();
  return maker::HvIPC_Send(identity.c_str(), channel.c_str(), kFrameKind, kMessageKind, bytes.data(),
                           static_cast<uint32_t>(bytes.size()), nullptr, &options);
}
