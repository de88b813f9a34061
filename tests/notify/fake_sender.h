// A NotificationSender for tests: records every call, answers each channel
// with a chosen result, and can hold a channel's send until the test lets it
// go, the way a client that does not read holds the IPC library's send.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "notify/notification_sender.h"

namespace notify_testing {

// How long a test waits for the notifier thread before it fails instead of
// hanging. Not a performance figure: every wait normally ends at once.
inline constexpr std::chrono::seconds kHangGuard{30};

class FakeSender : public NotificationSender {
 public:
  struct Call {
    std::string identity;
    std::string channel;
    std::string bytes;
  };

  uint32_t Send(const std::string& identity, const std::string& channel, std::span<const uint8_t> bytes) override {
    std::unique_lock lock(mutex_);
    calls_.push_back({identity, channel, std::string(bytes.begin(), bytes.end())});
    changed_.notify_all();
    const auto found = results_.find(channel);
    const uint32_t result = found == results_.end() ? kDelivered : found->second;
    if (held_.count(channel)) {
      ++inside_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_.count(channel); });
      --inside_;
    }
    changed_.notify_all();
    return result;
  }

  void SetResult(const std::string& channel, uint32_t result) {
    std::lock_guard lock(mutex_);
    results_[channel] = result;
  }
  // Sends to `channel` wait inside Send until Release.
  void Hold(const std::string& channel) {
    std::lock_guard lock(mutex_);
    held_.insert(channel);
  }
  void Release(const std::string& channel) {
    std::lock_guard lock(mutex_);
    held_.erase(channel);
    changed_.notify_all();
  }

  // True once a send to `channel` has begun.
  bool WaitForCallTo(const std::string& channel) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kHangGuard,
                             [&] { return std::ranges::any_of(calls_, [&](const Call& c) { return c.channel == channel; }); });
  }
  // True once a send is waiting inside a held channel.
  bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kHangGuard, [&] { return inside_ > 0; });
  }
  bool IsInsideHeldSend() {
    std::lock_guard lock(mutex_);
    return inside_ > 0;
  }

  std::vector<Call> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<std::string> Channels() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> channels;
    for (const Call& c : calls_) channels.push_back(c.channel);
    return channels;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  std::map<std::string, uint32_t> results_;
  std::set<std::string> held_;
  int inside_ = 0;
};

}  // namespace notify_testing
