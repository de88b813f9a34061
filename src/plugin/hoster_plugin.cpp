#include "plugin/hoster_plugin.h"

#include <algorithm>
#include <cstring>

namespace {

HvHosterPlugin* AsPlugin(void* context) { return static_cast<HvHosterPlugin*>(context); }

extern "C" uint32_t EntryInitialize(void* context, const uintptr_t* host_table) {
  HvHosterPlugin* plugin = AsPlugin(context);
  if (plugin == nullptr) return 1;
  plugin->AttachHost(host_table);
  return plugin->PluginInitialize();
}

extern "C" uint32_t EntryRun(void* context, uintptr_t /*unused*/) {
  HvHosterPlugin* plugin = AsPlugin(context);
  return plugin == nullptr ? 1 : plugin->PluginMain();
}

extern "C" void EntryStop(void* context) {
  if (HvHosterPlugin* plugin = AsPlugin(context)) plugin->PluginStop();
}

extern "C" void EntryUninitialize(void* context, uintptr_t /*unused*/) {
  if (HvHosterPlugin* plugin = AsPlugin(context)) plugin->PluginUninitialize();
}

extern "C" void EntryDestroy(void* context) { delete AsPlugin(context); }

}  // namespace

HvHosterPlugin::~HvHosterPlugin() = default;

bool HvHosterPlugin::FillEntryTable(HvHosterPlugin* plugin, void* buffer, size_t size) {
  if (buffer == nullptr || size < sizeof(uintptr_t)) {
    delete plugin;
    return false;
  }
  uintptr_t table[hoster::kEntryWords] = {};
  table[hoster::kEntryContext] = reinterpret_cast<uintptr_t>(plugin);
  table[hoster::kEntryInitialize] = reinterpret_cast<uintptr_t>(&EntryInitialize);
  table[hoster::kEntryRun] = reinterpret_cast<uintptr_t>(&EntryRun);
  table[hoster::kEntryStop] = reinterpret_cast<uintptr_t>(&EntryStop);
  table[hoster::kEntryUninitialize] = reinterpret_cast<uintptr_t>(&EntryUninitialize);
  table[hoster::kEntryDestroy] = reinterpret_cast<uintptr_t>(&EntryDestroy);
  std::memcpy(buffer, table, std::min(size, sizeof(table)));
  return true;
}

void HvHosterPlugin::AttachHost(const uintptr_t* host_table) {
  host_ = HostFunctions{};
  identity_.clear();
  if (host_table == nullptr) return;
  host_.context = reinterpret_cast<void*>(host_table[hoster::kHostContext]);
  host_.identity = reinterpret_cast<hoster::HostIdentityFunction>(host_table[hoster::kHostIdentity]);
  host_.config = reinterpret_cast<hoster::HostConfigFunction>(host_table[hoster::kHostConfig]);
  host_.release = reinterpret_cast<hoster::HostReleaseFunction>(host_table[hoster::kHostRelease]);
  host_.subscribe = reinterpret_cast<hoster::HostSubscribeFunction>(host_table[hoster::kHostSubscribe]);
  if (host_.identity != nullptr) identity_ = TakeHostString(host_.identity(host_.context)).value_or(std::string());
}

std::optional<std::string> HvHosterPlugin::TakeHostString(const char* text) const {
  if (text == nullptr) return std::nullopt;
  std::string copy(text);
  if (host_.release != nullptr) host_.release(host_.context, text);
  return copy;
}

std::optional<std::string> HvHosterPlugin::GetHostConfig(const char* name) const {
  if (host_.config == nullptr) return std::nullopt;
  return TakeHostString(host_.config(host_.context, name));
}

void HvHosterPlugin::SubscribeHostEvent(uint32_t category, HostEventHandler handler) {
  bool first_of_category = false;
  {
    platform::MutexLock lock(handlers_mutex_);
    first_of_category = std::none_of(handlers_.begin(), handlers_.end(),
                                     [category](const auto& entry) { return entry.first == category; });
    handlers_.emplace_back(category, std::move(handler));
  }
  // The host may raise an event of the category at once, on this thread;
  // dispatching it needs the lock.
  if (first_of_category && host_.subscribe != nullptr) {
    host_.subscribe(host_.context, category, &HvHosterPlugin::DispatchHostEvent, this);
  }
}

void HvHosterPlugin::DispatchHostEvent(void* plugin, uint32_t category, uint32_t code, void* data) {
  HvHosterPlugin* self = AsPlugin(plugin);
  if (self == nullptr) return;
  std::vector<HostEventHandler> handlers;
  {
    platform::MutexLock lock(self->handlers_mutex_);
    for (const auto& [handler_category, handler] : self->handlers_) {
      if (handler_category == category) handlers.push_back(handler);
    }
  }
  for (const auto& handler : handlers) handler(code, data);
}

void HvHosterPlugin::ClearHostEventHandlers() {
  platform::MutexLock lock(handlers_mutex_);
  handlers_.clear();
}
