// Loads a plug-in library, gives it the host function table and drives it
// through Initialize, Run, Stop, Uninitialize and Destroy.
//
// The host function table offers the identity, the configuration strings
// (each call hands out a copy that the plug-in releases) and subscriptions to
// host events; RaiseEvent delivers an event to every subscription of its
// category.
//
// Threads: Load, Initialize, Run, Uninitialize and Unload belong to one
// thread (main). RequestStop and RaiseEvent may be called from any thread at
// any time: a stop asked for before the plug-in runs is passed on once
// Initialize has returned (the plug-in clears its stop event while it
// initialises), and neither reaches a plug-in that Unload has destroyed.
// Lock order: lifetime_mutex_ before subscriptions_mutex_.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "plugin/hoster_interface.h"

namespace host {

class PluginHost {
 public:
  // `identity` is what the plug-in is told; `config` its configuration
  // strings by name (an empty value counts as absent).
  PluginHost(std::string identity, std::map<std::string, std::string> config);
  // Unloads the plug-in when Unload was not called.
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Opens the library and creates the plug-in. False with a reason when the
  // file cannot be loaded, lacks the entry or gives back no plug-in.
  bool Load(const std::string& path, std::string& error) EXCLUDES(lifetime_mutex_);
  // The plug-in's Initialize; its result (0 success). Passes on a stop that
  // was asked for meanwhile.
  uint32_t Initialize() EXCLUDES(lifetime_mutex_);
  // The plug-in's Run: blocks until a stop.
  uint32_t Run();
  void Uninitialize();
  // Destroys the plug-in and closes the library. No event or stop reaches
  // the plug-in afterwards.
  void Unload() EXCLUDES(lifetime_mutex_);

  // Asks the plug-in to stop (now, or once it is initialised).
  void RequestStop() EXCLUDES(lifetime_mutex_);
  bool stop_requested() const { return stop_requested_.load(); }
  // Calls every subscription of `category` with (code, data).
  void RaiseEvent(uint32_t category, uint32_t code, void* data) EXCLUDES(lifetime_mutex_, subscriptions_mutex_);

  // The table the plug-in receives.
  const uintptr_t* host_table() const { return host_table_; }

 private:
  struct Subscription {
    uint32_t category;
    hoster::HostEventCallback callback;
    void* plugin;
  };

  // The host functions of the table; `host_context` is the PluginHost.
  static const char* HostIdentity(void* host_context);
  static const char* HostConfig(void* host_context, const char* name);
  static void HostRelease(void* host_context, const char* text);
  // The plug-in's context and its entry `index`, read under the lock; the
  // entry is null before a load.
  template <typename Entry>
  std::pair<void*, Entry> ContextAndEntry(size_t index) EXCLUDES(lifetime_mutex_) {
    platform::MutexLock lock(lifetime_mutex_);
    return {reinterpret_cast<void*>(entries_[hoster::kEntryContext]), reinterpret_cast<Entry>(entries_[index])};
  }

  static void HostSubscribe(void* host_context, uint32_t category, hoster::HostEventCallback callback,
                            void* plugin) EXCLUDES(subscriptions_mutex_);

  const std::string identity_;
  const std::map<std::string, std::string> config_;
  uintptr_t host_table_[hoster::kHostWords] = {};
  std::atomic<bool> stop_requested_{false};

  // Guards the plug-in's existence for calls from other threads (stops and
  // events): held while one is made and while the plug-in is destroyed.
  platform::Mutex lifetime_mutex_ ACQUIRED_BEFORE(subscriptions_mutex_);
  void* library_ = nullptr;  // the dlopen handle; written under lifetime_mutex_, read by the main thread
  uintptr_t entries_[hoster::kEntryWords] GUARDED_BY(lifetime_mutex_) = {};
  bool initialized_ GUARDED_BY(lifetime_mutex_) = false;

  // Guards subscriptions_.
  platform::Mutex subscriptions_mutex_;
  std::vector<Subscription> subscriptions_ GUARDED_BY(subscriptions_mutex_);
};

}  // namespace host
