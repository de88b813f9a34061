// The plug-in's side of the host: what every plug-in loaded by the host
// service knows of it (the host's functions, the identity it was given, the
// host events it listens to), and the entry table through which the host
// drives it.
//
// Threads: the host calls the entries Initialize, Run and Uninitialize one
// after the other, Stop from another thread while Run blocks, and the event
// callback from threads of its own at any time after a subscription.
// handlers_mutex_ guards the handler list only; handlers run without it, so a
// handler may subscribe further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "plugin/hoster_interface.h"

class HvHosterPlugin {
 public:
  // Called with the event code and the event data.
  using HostEventHandler = std::function<void(uint32_t code, void* data)>;

  HvHosterPlugin() = default;
  virtual ~HvHosterPlugin();
  HvHosterPlugin(const HvHosterPlugin&) = delete;
  HvHosterPlugin& operator=(const HvHosterPlugin&) = delete;

  // 0 when the plug-in is ready to run.
  virtual uint32_t PluginInitialize() = 0;
  // Runs until PluginStop; returns 0.
  virtual uint32_t PluginMain() = 0;
  virtual void PluginUninitialize() = 0;
  virtual void PluginStop() = 0;

  // Fills `buffer` with the entry table of `plugin`: at most `size` bytes of
  // it (hoster::kEntryTableBytes in all). A null buffer, or one too small
  // for the whole context word, could never give the plug-in back to be
  // destroyed: the plug-in is then destroyed here and nothing is written.
  // False in that case.
  static bool FillEntryTable(HvHosterPlugin* plugin, void* buffer, size_t size);

  // Keeps the host's functions (a copy of the words this side uses; the host
  // table need not outlive the call), then fetches and copies the identity.
  // A table without an identity function leaves the identity empty.
  void AttachHost(const uintptr_t* host_table);

  // Adds `handler` for `category` and, when the category had no handler yet,
  // subscribes to it with the host (outside the lock). Without a host the
  // handler is only noted.
  void SubscribeHostEvent(uint32_t category, HostEventHandler handler) EXCLUDES(handlers_mutex_);

  // The host's event callback: calls every handler of `category`, in the
  // order they were added, with (code, data). `plugin` is the HvHosterPlugin.
  static void DispatchHostEvent(void* plugin, uint32_t category, uint32_t code, void* data)
      EXCLUDES(handlers_mutex_);

  // The host's configuration string `name`; nullopt when the host gives none.
  std::optional<std::string> GetHostConfig(const char* name) const;

  const std::string& identity() const { return identity_; }

 protected:
  // Forgets every handler (Destroy).
  void ClearHostEventHandlers() EXCLUDES(handlers_mutex_);

 private:
  // The words of the host's table that this side uses; null when absent.
  struct HostFunctions {
    void* context = nullptr;
    hoster::HostIdentityFunction identity = nullptr;
    hoster::HostConfigFunction config = nullptr;
    hoster::HostReleaseFunction release = nullptr;
    hoster::HostSubscribeFunction subscribe = nullptr;
  };

  // A string of the host: copied, then released with the host's function.
  std::optional<std::string> TakeHostString(const char* text) const;

  // Written by AttachHost (Initialize) before anything else runs.
  HostFunctions host_;
  std::string identity_;

  // Guards handlers_.
  platform::Mutex handlers_mutex_;
  std::vector<std::pair<uint32_t, HostEventHandler>> handlers_ GUARDED_BY(handlers_mutex_);
};
