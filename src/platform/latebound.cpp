#include "platform/latebound.h"

#include "logging/log.h"
#include "platform/path_util.h"
#include "platform/sqlite_registry.h"

namespace Latebound {

std::string GetLateboundBaseFile(std::string_view product, std::string_view ns) {
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  registry.SetView(KEY_WOW64_32KEY);
  const std::string key = ReplaceAll(kKeyTemplate, "<namespace>", ns);

  std::string target_dir;
  RegistryError error = RegistryError::Ok;
  if (!registry.GetString(key, "LateboundPath", target_dir, &error)) {
    HV_LOG_ERROR("Failed to read LateboundTargetDir: {}, from {}", static_cast<uint32_t>(error), key);
    return {};
  }

  const std::string dir = JoinPath(target_dir, "100");
  const std::string result = JoinPath(JoinPath(dir, "settings"), std::string(product) + ".velder");
  // The product names a file, never a way out of the settings directory.
  const bool product_ok = product.find(kPathSeparator) == std::string_view::npos;
  if (!product_ok || result.front() != kPathSeparator || !IsRegularFile(result)) {
    HV_LOG_ERROR("Not found: '{}'", result);
    return {};
  }
  return result;
}

}  // namespace Latebound
