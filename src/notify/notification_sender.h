// The one call the change notifier needs from the IPC library: deliver a
// serialised envelope to a client channel. The plug-in adapts HvIPC_Send to it
// (frame kind 3, message kind 1, no reply, options of 24 bytes: time-out
// 2000 ms, wait for the write); tests plug in fakes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class NotificationSender {
 public:
  // Results, in the IPC library's own numbers. Any other non-zero result
  // means the channel is gone.
  static constexpr uint32_t kDelivered = 0;
  static constexpr uint32_t kTimedOut = 7;  // not delivered in time; the channel may recover

  virtual ~NotificationSender() = default;

  // Sends `bytes` to `channel` as the sender `identity` and returns the IPC
  // library's result. May block up to the send time-out. Called on the
  // notifier thread only, one call at a time, never under the notifier's lock.
  virtual uint32_t Send(const std::string& identity, const std::string& channel, std::span<const uint8_t> bytes) = 0;

  // Sends the same `bytes` to every one of `channels`; `results` receives
  // one result per channel, in their order. Same thread rules as Send. This
  // default sends one by one; a sender that can share one encoded frame
  // among the channels does so.
  virtual void SendToChannels(const std::string& identity, const std::vector<std::string>& channels,
                              std::span<const uint8_t> bytes, std::vector<uint32_t>* results) {
    results->clear();
    results->reserve(channels.size());
    for (const std::string& channel : channels) results->push_back(Send(identity, channel, bytes));
  }
};
