#include "plugin_host.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace host {
namespace {

// A copy of `text` that the plug-in releases with HostRelease.
const char* CopyForPlugin(const std::string& text) { return ::strdup(text.c_str()); }

}  // namespace

PluginHost::PluginHost(std::string identity, std::map<std::string, std::string> config)
    : identity_(std::move(identity)), config_(std::move(config)) {
  host_table_[hoster::kHostTableSize] = hoster::kHostWords;
  host_table_[hoster::kHostContext] = reinterpret_cast<uintptr_t>(this);
  host_table_[hoster::kHostIdentity] = reinterpret_cast<uintptr_t>(&PluginHost::HostIdentity);
  host_table_[hoster::kHostConfig] = reinterpret_cast<uintptr_t>(&PluginHost::HostConfig);
  host_table_[hoster::kHostRelease] = reinterpret_cast<uintptr_t>(&PluginHost::HostRelease);
  host_table_[hoster::kHostSubscribe] = reinterpret_cast<uintptr_t>(&PluginHost::HostSubscribe);
}

PluginHost::~PluginHost() { Unload(); }

bool PluginHost::Load(const std::string& path, std::string& error) {
  // RTLD_LOCAL: the plug-in's own copies of shared code must not bind to
  // anything else loaded later.
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = ::dlerror();
    error = reason != nullptr ? reason : "cannot load " + path;
    return false;
  }
  auto create =
      reinterpret_cast<hoster::HosterPluginCreateContextFunction>(::dlsym(library, hoster::kCreateContextSymbol));
  if (create == nullptr) {
    error = path + " does not export " + hoster::kCreateContextSymbol;
    ::dlclose(library);
    return false;
  }
  uintptr_t entries[hoster::kEntryWords] = {};
  create(entries, sizeof(entries));
  if (entries[hoster::kEntryContext] == 0 || entries[hoster::kEntryInitialize] == 0 ||
      entries[hoster::kEntryRun] == 0 || entries[hoster::kEntryStop] == 0 ||
      entries[hoster::kEntryUninitialize] == 0 || entries[hoster::kEntryDestroy] == 0) {
    error = path + " gave back no plug-in";
    if (entries[hoster::kEntryContext] != 0 && entries[hoster::kEntryDestroy] != 0) {
      reinterpret_cast<hoster::PluginDestroyEntry>(entries[hoster::kEntryDestroy])(
          reinterpret_cast<void*>(entries[hoster::kEntryContext]));
    }
    ::dlclose(library);
    return false;
  }
  platform::MutexLock lock(lifetime_mutex_);
  library_ = library;
  std::memcpy(entries_, entries, sizeof(entries));
  return true;
}

uint32_t PluginHost::Initialize() {
  const auto [context, initialize] = ContextAndEntry<hoster::PluginInitializeEntry>(hoster::kEntryInitialize);
  if (initialize == nullptr) return 1;
  const uint32_t result = initialize(context, host_table_);
  platform::MutexLock lock(lifetime_mutex_);
  initialized_ = true;
  // A stop that came while the plug-in was getting ready may have been
  // cleared by it; ask again.
  if (stop_requested_.load()) reinterpret_cast<hoster::PluginStopEntry>(entries_[hoster::kEntryStop])(
      reinterpret_cast<void*>(entries_[hoster::kEntryContext]));
  return result;
}

uint32_t PluginHost::Run() {
  const auto [context, run] = ContextAndEntry<hoster::PluginRunEntry>(hoster::kEntryRun);
  return run == nullptr ? 1 : run(context, 0);
}

void PluginHost::Uninitialize() {
  const auto [context, uninitialize] = ContextAndEntry<hoster::PluginUninitializeEntry>(hoster::kEntryUninitialize);
  if (uninitialize != nullptr) uninitialize(context, 0);
}

void PluginHost::Unload() {
  void* library = nullptr;
  {
    platform::MutexLock lock(lifetime_mutex_);
    if (library_ == nullptr) return;
    auto destroy = reinterpret_cast<hoster::PluginDestroyEntry>(entries_[hoster::kEntryDestroy]);
    destroy(reinterpret_cast<void*>(entries_[hoster::kEntryContext]));
    std::memset(entries_, 0, sizeof(entries_));
    initialized_ = false;
    {
      platform::MutexLock subscriptions_lock(subscriptions_mutex_);
      subscriptions_.clear();
    }
    library = library_;
    library_ = nullptr;
  }
  ::dlclose(library);
}

void PluginHost::RequestStop() {
  stop_requested_.store(true);
  platform::MutexLock lock(lifetime_mutex_);
  // Before Initialize the request waits; Initialize passes it on.
  if (!initialized_ || entries_[hoster::kEntryStop] == 0) return;
  reinterpret_cast<hoster::PluginStopEntry>(entries_[hoster::kEntryStop])(
      reinterpret_cast<void*>(entries_[hoster::kEntryContext]));
}

void PluginHost::RaiseEvent(uint32_t category, uint32_t code, void* data) {
  platform::MutexLock lock(lifetime_mutex_);
  std::vector<Subscription> targets;
  {
    platform::MutexLock subscriptions_lock(subscriptions_mutex_);
    for (const Subscription& subscription : subscriptions_) {
      if (subscription.category == category) targets.push_back(subscription);
    }
  }
  // Without the subscription lock: a callback may subscribe again.
  for (const Subscription& target : targets) target.callback(target.plugin, category, code, data);
}

const char* PluginHost::HostIdentity(void* host_context) {
  return CopyForPlugin(static_cast<PluginHost*>(host_context)->identity_);
}

const char* PluginHost::HostConfig(void* host_context, const char* name) {
  if (name == nullptr) return nullptr;
  const auto& config = static_cast<PluginHost*>(host_context)->config_;
  const auto it = config.find(name);
  if (it == config.end() || it->second.empty()) return nullptr;
  return CopyForPlugin(it->second);
}

void PluginHost::HostRelease(void* /*host_context*/, const char* text) { std::free(const_cast<char*>(text)); }

void PluginHost::HostSubscribe(void* host_context, uint32_t category, hoster::HostEventCallback callback,
                               void* plugin) {
  if (callback == nullptr) return;
  auto* self = static_cast<PluginHost*>(host_context);
  platform::MutexLock lock(self->subscriptions_mutex_);
  self->subscriptions_.push_back(Subscription{category, callback, plugin});
}

}  // namespace host
