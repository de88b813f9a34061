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

void IpcNotificationSender::SendToChannels(const std::string& identity, const std::vector<std::string>& channels,
                                           std::span<const uint8_t> bytes, std::vector<uint32_t>* results) {
  results->assign(channels.size(), HV_IPC_TOO_LARGE);
  if (channels.empty() || bytes.size() > std::numeric_limits<uint32_t>::max() ||
      channels.size() > std::numeric_limits<uint32_t>::max()) {
    return;
  }
  std::vector<const char*> names;
  names.reserve(channels.size());
  for (const std::string& channel : channels) names.push_back(channel.c_str());
  const HvIpcSendOptions options = SendOptions();
  const uint32_t rc = maker::HvIPC_SendToChannels(identity.c_str(), names.data(), static_cast<uint32_t>(names.size()),
                                                  kFrameKind, kMessageKind, bytes.data(),
                                                  static_cast<uint32_t>(bytes.size()), &options, results->data());
  // Refused as a whole (or the library is missing): every channel has that result.
  if (rc != HV_IPC_OK) results->assign(channels.size(), rc);
}
