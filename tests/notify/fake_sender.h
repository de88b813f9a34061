// A NotificationSender for tests: records every call, answers each channel
// with a chosen result, and can hold a channel's send until the test lets it
// go, the way a client that does not read holds the IPC library's send.
#pragma once

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "notify/notification_sender.h"
#include "platform/mutex.h"
#include "wire/ipc_message.h"

namespace notify_testing {

// How long a test waits for the notifier thread before it fails instead of
// hanging; every wait normally ends at once.
inline constexpr std::chrono::seconds kHangGuard{30};

class FakeSender : public NotificationSender {
 public:
  struct Call {
    std::string identity, channel, bytes;
    IpcMessage Message() const {  // empty when the bytes hold no envelope
      IpcMessage message;
      return message.Deserialize(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) ? message
                                                                                               : IpcMessage();
    }
  };

  uint32_t Send(const std::string& identity, const std::string& channel, std::span<const uint8_t> bytes) override {
    platform::MutexLock lock(mutex_);
    calls_.push_back({identity, channel, std::string(bytes.begin(), bytes.end())});
    held_inside_ += held_.count(channel);
    changed_.NotifyAll();
    while (held_.contains(channel)) changed_.Wait(mutex_);
    held_inside_ = 0;
    return results_.contains(channel) ? results_[channel] : kDelivered;
  }

  void SetResult(const std::string& channel, uint32_t result) {
    platform::MutexLock lock(mutex_);
    results_[channel] = result;
  }
  void Hold(const std::string& channel) {  // sends to `channel` wait inside Send until Release
    platform::MutexLock lock(mutex_);
    held_.insert(channel);
  }
  void Release(const std::string& channel) {
    platform::MutexLock lock(mutex_);
    held_.erase(channel);
    changed_.NotifyAll();
  }
  // True once a send to `channel` has begun; false after the hang guard.
  bool WaitForCallTo(const std::string& channel) {
    return WaitUntil([&] { return std::ranges::any_of(calls_, [&](const Call& c) { return c.channel == channel; }); });
  }
  // True once a send waits inside a held channel.
  bool WaitUntilHeld() { return WaitUntil([&] { return held_inside_ > 0; }); }
  std::vector<Call> Calls() {
    platform::MutexLock lock(mutex_);
    return calls_;
  }
  // The channels sent to, in order; or the paths sent to `channel`.
  std::vector<std::string> Sent(const std::string& channel = "") {
    std::vector<std::string> sent;
    for (const Call& c : Calls()) {
      if (channel.empty() || c.channel == channel) sent.push_back(channel.empty() ? c.channel : c.Message().path());
    }
    return sent;
  }
  void Clear() {
    platform::MutexLock lock(mutex_);
    calls_.clear();
  }

 private:
  template <typename Done>  // checked with the lock held
  bool WaitUntil(Done done) {
    platform::MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!done()) {
      if (!changed_.WaitUntil(mutex_, deadline)) return false;
    }
    return true;
  }

  platform::Mutex mutex_;
  platform::CondVar changed_;
  std::vector<Call> calls_;
  std::map<std::string, uint32_t> results_;
  std::set<std::string> held_;
  int held_inside_ = 0;
};

}  // namespace notify_testing
