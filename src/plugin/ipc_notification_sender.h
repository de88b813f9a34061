// Delivers the change notifier's envelopes through the IPC library: one
// notification frame (message kind 1, an envelope) to the client channel.
// Never waits: the frame joins the channel's bounded queue, and a client that
// has stopped reading loses its connection instead of stalling the notifier.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "notify/notification_sender.h"
#include "qor/ipc/hv_qor_ipc.h"

class IpcNotificationSender : public NotificationSender {
 public:
  static constexpr uint32_t kFrameKind = HV_IPC_SEND_NOTIFICATION;
  static constexpr uint32_t kMessageKind = HV_IPC_KIND_ENVELOPE;
  static constexpr uint32_t kTimeoutMs = HV_IPC_DEFAULT_SEND_TIMEOUT_MS;

  // The options of every send: 24 bytes, the time-out, queue or close.
  static HvIpcSendOptions SendOptions();

  // Calls maker::HvIPC_Send. An envelope too long for the library's 32-bit
  // count is refused with HV_IPC_TOO_LARGE without a call.
  uint32_t Send(const std::string& identity, const std::string& channel, std::span<const uint8_t> bytes) override;
  // One HvIPC_SendToChannels call: the library builds the frame once and
  // queues it for every channel.
  void SendToChannels(const std::string& identity, const std::vector<std::string>& channels,
                      std::span<const uint8_t> bytes, std::vector<uint32_t>* results) override;
};
