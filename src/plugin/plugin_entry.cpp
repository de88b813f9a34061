// The one symbol the plug-in library exports: the host's way in.
#include <cstddef>
#include <exception>

#include "plugin/hoster_plugin.h"
#include "plugin/velder_plugin.h"

extern "C" __attribute__((visibility("default"))) void HosterPluginCreateContext(void* buffer, size_t size) {
  if (buffer == nullptr) return;
  VelderPlugin* plugin = nullptr;
  try {
    plugin = new VelderPlugin();
  } catch (const std::exception&) {
    // No exception may reach the host; it finds no context in its buffer.
    return;
  }
  HvHosterPlugin::FillEntryTable(plugin, buffer, size);
}
