// A host function table for tests that drive a plug-in inside the test
// process: it hands out copies of its strings and counts their releases, and
// records the event subscriptions so that a test can raise events.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plugin/hoster_interface.h"

namespace plugin_test {

class FakeHost {
 public:
  struct Subscription {
    uint32_t category;
    hoster::HostEventCallback callback;
    void* plugin;
  };

  FakeHost() {
    table_[hoster::kHostTableSize] = hoster::kHostWords;
    table_[hoster::kHostContext] = reinterpret_cast<uintptr_t>(this);
    table_[hoster::kHostIdentity] = reinterpret_cast<uintptr_t>(&Identity);
    table_[hoster::kHostConfig] = reinterpret_cast<uintptr_t>(&Config);
    table_[hoster::kHostRelease] = reinterpret_cast<uintptr_t>(&Release);
    table_[hoster::kHostSubscribe] = reinterpret_cast<uintptr_t>(&Subscribe);
  }

  const uintptr_t* table() const { return table_; }
  uintptr_t* mutable_table() { return table_; }

  std::optional<std::string> identity;
  std::map<std::string, std::string> config;

  int handed_out() const { return handed_out_.load(); }
  int released() const { return released_.load(); }
  std::vector<Subscription> subscriptions() {
    std::lock_guard lock(mutex_);
    return subscriptions_;
  }
  // Calls every subscription of `category`, as the host does.
  void Raise(uint32_t category, uint32_t code, void* data = nullptr) {
    for (const Subscription& s : subscriptions()) {
      if (s.category == category) s.callback(s.plugin, category, code, data);
    }
  }

 private:
  const char* HandOut(const std::string& text) {
    ++handed_out_;
    return ::strdup(text.c_str());
  }
  static const char* Identity(void* context) {
    auto* self = static_cast<FakeHost*>(context);
    return self->identity ? self->HandOut(*self->identity) : nullptr;
  }
  static const char* Config(void* context, const char* name) {
    auto* self = static_cast<FakeHost*>(context);
    const auto it = self->config.find(name);
    return it == self->config.end() ? nullptr : self->HandOut(it->second);
  }
  static void Release(void* context, const char* text) {
    ++static_cast<FakeHost*>(context)->released_;
    std::free(const_cast<char*>(text));
  }
  static void Subscribe(void* context, uint32_t category, hoster::HostEventCallback callback, void* plugin) {
    auto* self = static_cast<FakeHost*>(context);
    std::lock_guard lock(self->mutex_);
    self->subscriptions_.push_back({category, callback, plugin});
  }

  uintptr_t table_[hoster::kHostWords] = {};
  std::mutex mutex_;
  std::atomic<int> handed_out_{0};
  std::atomic<int> released_{0};
  std::vector<Subscription> subscriptions_;
};

}  // namespace plugin_test
