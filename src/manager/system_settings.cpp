// The service's own settings, read from the system hive: the server's address,
// the poll interval and whether local changes are uploaded.
#include <cmath>
#include <limits>

#include "logging/log.h"
#include "manager/settings_manager.h"

using nlohmann::json;

namespace {

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// A number or boolean as a 32-bit integer, truncating fractions. False, with
// the reason in `error`, for any other type and for a number that a 32-bit
// integer cannot hold (a poll interval of 2^32 + 10 must not become 10).
bool ToInt32(const json& value, int32_t& out, std::string& error) {
  constexpr auto kMin = std::numeric_limits<int32_t>::min();
  constexpr auto kMax = std::numeric_limits<int32_t>::max();
  if (value.is_number_float()) {
    const double d = std::trunc(value.get<double>());
    if (!(d >= kMin && d <= kMax)) {
      error = fmt::format("{} is out of range", value.dump());
      return false;
    }
    out = static_cast<int32_t>(d);
    return true;
  }
  if (value.is_number_unsigned()) {
    if (value.get<uint64_t>() > static_cast<uint64_t>(kMax)) {
      error = fmt::format("{} is out of range", value.dump());
      return false;
    }
    out = static_cast<int32_t>(value.get<uint64_t>());
    return true;
  }
  if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    if (v < kMin || v > kMax) {
      error = fmt::format("{} is out of range", value.dump());
      return false;
    }
    out = static_cast<int32_t>(v);
    return true;
  }
  try {
    // Booleans convert; every other type throws the library's type error.
    out = value.get<int32_t>();
    return true;
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  }
}

}  // namespace

bool SettingsManager::InternalGetSystemSetting(std::string_view name_space, std::string_view path_text,
                                               json& value) {
  const std::shared_ptr<Settings> hive = GetOrCreateHive(Settings::kSystemUser);
  if (hive == nullptr) return false;
  VelderPath::Path path;
  if (!VelderPath::Parse(path_text, path)) return false;
  RequestContext context;
  context.product = AsciiLower(name_space);
  context.user = Settings::kSystemUser;
  context.read = true;
  return hive->GetValue(path, value, context) == ResultCode::Success;
}

int32_t SettingsManager::InternalGetSystemSettingInt(std::string_view name_space, std::string_view path_text,
                                                     int32_t default_value) {
  json value;
  if (!InternalGetSystemSetting(name_space, path_text, value)) return default_value;
  int32_t result = default_value;
  std::string error;
  if (!ToInt32(value, result, error)) {
    HV_LOG_DEBUG("Cannot convert '{}' to int: {}", path_text, error);
    return default_value;
  }
  return result;
}

bool SettingsManager::InternalGetSystemSettingBool(std::string_view name_space, std::string_view path_text,
                                                   bool default_value) {
  json value;
  if (!InternalGetSystemSetting(name_space, path_text, value)) return default_value;
  try {
    return value.get<bool>();
  } catch (const json::exception& e) {
    HV_LOG_DEBUG("Cannot convert '{}' to bool: {}", path_text, e.what());
    return default_value;
  }
}

std::string SettingsManager::InternalGetSystemSettingString(std::string_view name_space,
                                                            std::string_view path_text) {
  json value;
  if (!InternalGetSystemSetting(name_space, path_text, value) || !value.is_string()) return {};
  return value.get<std::string>();
}
