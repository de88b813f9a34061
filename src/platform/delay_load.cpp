#include "platform/delay_load.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "logging/log.h"
#include "platform/delay_import.h"
#include "platform/sqlite_registry.h"
#include "platform/utf.h"

#ifndef VELDER_LIB_DIR
#error "VELDER_LIB_DIR must name the installation's library directory"
#endif

namespace {

constexpr std::string_view kDelayLoadingKey = "SOFTWARE\\Halvern\\QOR\\Delay loading\\";

// The registry profile of an identity (exact comparison), 0 when it has none.
uint32_t ProfileNumber(std::string_view identity) {
  if (identity == "default") return 100;
  if (identity == "kv_default") return 1400;
  if (identity == "mbt_default") return 1500;
  return 0;
}

// A name that can only address a file inside the directory it is joined to.
bool IsBareFileName(std::string_view name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && platform::IsValidUtf8(name);
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return lower;
}

// The library path stored under `key` as the value `name`: a REG_SZ or
// REG_EXPAND_SZ text as it stands, or the first string of a REG_MULTI_SZ.
// Empty when the key, the value or a usable type is missing.
std::string ReadLocation(Registry& registry, const std::string& key, const std::string& name) {
  RegistryError error = RegistryError::Ok;
  const uint32_t type = registry.GetValueType(key, name, &error);
  std::string path;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    registry.GetString(key, name, path, &error);
  } else if (type == REG_MULTI_SZ) {
    std::vector<std::string> values;
    if (registry.GetMultiString(key, name, values, &error) && !values.empty()) path = values.front();
  } else if (error == RegistryError::Ok) {
    HV_LOG_WARNING("Value '{}' under '{}' is not a text (type {}); ignored", name, key, type);
  }
  return path;
}

// dlopen of an absolute path; anything else would let the loader search.
void* LoadAbsolute(const std::string& path) {
  if (path.empty() || path.front() != '/') {
    HV_LOG_WARNING("Refusing to load '{}': not an absolute path", path);
    return nullptr;
  }
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = ::dlerror();
    // A missing file is the ordinary "not here"; a file that is there but
    // does not load is worth a warning.
    if (::access(path.c_str(), F_OK) == 0) {
      HV_LOG_WARNING("Failed to load '{}': {}", path, why ? why : "unknown error");
    } else {
      HV_LOG_DEBUG("No library at '{}'", path);
    }
    return nullptr;
  }
  HV_LOG_DEBUG("Loaded '{}'", path);
  return module;
}

void* LoadFromRegistry(Registry& registry, const std::string& key, const std::string& name) {
  const std::string path = ReadLocation(registry, key, name);
  return path.empty() ? nullptr : LoadAbsolute(path);
}

void CopyName(DelayLoadResult* result, const char* name) {
  const size_t length = name ? std::min(std::strlen(name), sizeof result->library_name - 1) : 0;
  if (length) std::memcpy(result->library_name, name, length);
  result->library_name[length] = '\0';
}

uint32_t Report(DelayLoadResult* result, uint32_t code, const char* name) {
  if (result) {
    result->code = code;
    CopyName(result, name);
  }
  return code;
}

}  // namespace

DelayLoadContext& DelayLoadContext::Get() {
  static DelayLoadContext context;
  return context;
}

std::string DelayLoadContext::identity() const {
  platform::MutexLock lock(state_mutex_);
  return identity_;
}

void DelayLoadContext::set_identity(std::string identity) {
  platform::MutexLock lock(state_mutex_);
  identity_ = std::move(identity);
}

std::string DelayLoadLibraryDirectory() {
  const char* overridden = std::getenv("HALVERN_LIB_DIR");
  if (overridden && *overridden) return overridden;
  return VELDER_LIB_DIR;
}

uint32_t DelayLoad(const char* identity, const DelayImportFunction* entry, DelayLoadResult* result) {
  if (!entry) return Report(result, kDelayLoadInvalidParameter, nullptr);
  DelayLoadContext& context = DelayLoadContext::Get();
  platform::MutexLock run(context.run_mutex_);
  context.set_identity(identity ? identity : "");
  DelayImportFailure failure = DelayImportFailure::kNone;
  void* address = entry->Resolve(&failure);
  switch (failure) {
    case DelayImportFailure::kNone: break;
    case DelayImportFailure::kLibraryNotFound:
      return Report(result, kDelayLoadLibraryNotFound, entry->library().file_name());
    case DelayImportFailure::kFunctionNotFound:
      return Report(result, kDelayLoadFunctionNotFound, entry->library().file_name());
    case DelayImportFailure::kInvalidSlot: return Report(result, kDelayLoadInvalidParameter, nullptr);
  }
  reinterpret_cast<void (*)()>(address)();
  return Report(result, kDelayLoadOk, nullptr);
}

void* LocateAndLoadLibrary(const char* library_name) {
  if (!library_name || !IsBareFileName(library_name)) {
    HV_LOG_ERROR("Invalid library name '{}'", library_name ? library_name : "(null)");
    return nullptr;
  }
  const std::string name = library_name;
  const std::string identity = DelayLoadContext::Get().identity();
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);

  void* module = nullptr;
  if (!identity.empty()) {
    module = LoadFromRegistry(registry, "SOFTWARE\\Halvern\\NS\\" + identity + "\\QOR\\DelayLoad", name);
  }
  if (!module) {
    if (const uint32_t profile = ProfileNumber(identity)) {
      module = LoadFromRegistry(registry, std::string(kDelayLoadingKey) + std::to_string(profile), name);
    }
  }
  if (!module && identity == "default") {
    const std::string lower = AsciiLower(name);
    if (lower == "hvapi32.dll" || lower == "hvapi64.dll") {
      module = LoadFromRegistry(registry, std::string(kDelayLoadingKey) + "1400", name);
    }
  }
  if (!module) {
    const std::string directory = DelayLoadLibraryDirectory();
    if (!directory.empty()) module = LoadAbsolute(directory + (directory.back() == '/' ? "" : "/") + name);
  }
  if (!module) return nullptr;

  if (auto dependencies = reinterpret_cast<QorDelayLoadDependencies_t>(::dlsym(module, "QorDelayLoadDependencies"))) {
    const DelayLoadDependencies record{sizeof(DelayLoadDependencies), 0, identity.empty() ? nullptr : identity.c_str(),
                                       nullptr};
    dependencies(&record);
  }
  return module;
}
