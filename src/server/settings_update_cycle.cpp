// The hive's side of server synchronisation: when it is next due, whether it
// is connected, the connection status that clients read at
// "status.windows.velder", and when the manager may drop it.
#include <algorithm>

#include "logging/log.h"
#include "notify/change_notifier.h"
#include "platform/clock.h"
#include "store/settings.h"
#include "store/storage.h"

using nlohmann::json;
using VelderPath::Path;

namespace {

const Path& ConnectionStatusPath() {
  static const Path path = [] {
    Path parsed;
    VelderPath::Parse("status.windows.velder", parsed);
    return parsed;
  }();
  return path;
}

// Base delay and back-off floor of each status code, in seconds.
struct Delay {
  int64_t timeout;
  int64_t backoff;
};

Delay DelayFor(uint32_t code, int64_t poll_interval) {
  switch (code) {
    case Settings::kStatusDueNow: return {0, 0};
    case Settings::kStatusUpToDate: return {poll_interval, 30};
    case Settings::kStatusFetched: return {poll_interval, 0};
    case Settings::kStatusUnauthorized: return {10, 5};
    case Settings::kStatusPushRefused: return {60, 5};
    case Settings::kStatusNotConnected: return {2592000, 30};  // 30 days
    case Settings::kStatusTooManyRequests: return {10, 5};
    default: return {std::min<int64_t>(poll_interval, 900), 30};
  }
}

}  // namespace

void Settings::SetNextUpdateCheck(uint32_t code) {
  std::lock_guard lock(hive_lock_);
  const Delay delay = DelayFor(code, poll_interval_);
  // A poll interval below zero would schedule into the past.
  const int64_t timeout = std::max<int64_t>(delay.timeout, 0);
  const int64_t jittered = timeout + static_cast<int64_t>(static_cast<double>(timeout) * NextJitter());
  HV_LOG_DEBUG("timeout={}, backoff={}, hive={}", jittered, delay.backoff, display_name_);
  const int64_t now = Now();
  if (delay.backoff != 0) not_before_ = std::max(not_before_, now + delay.backoff);
  last_status_ = code;
  next_check_ = std::max(now + jittered, not_before_);
  Metadata()["next_check"] = next_check_;
  update_event_.Set();
}

void Settings::UpdateNow() {
  std::lock_guard lock(hive_lock_);
  HV_LOG_INFO("Hive '{}'", display_name_);
  SetNextUpdateCheck(kStatusDueNow);
  MarkDirty(false);
}

void Settings::RescheduleNextUpdateCheck(int64_t poll_interval) {
  std::lock_guard lock(hive_lock_);
  HV_LOG_INFO("RescheduleNextUpdateCheck hive '{}', newPollingInterval '{}'", display_name_, poll_interval);
  if (poll_interval_ == poll_interval) return;
  poll_interval_ = poll_interval;
  SetNextUpdateCheck(last_status_);
}

// Runs on the manager's worker thread under the manager's lock; it takes no
// hive lock, so a long write to this hive does not hold the manager up.
bool Settings::IsInactive() {
  const int64_t now = Now();
  const int64_t last_access = last_access_.load();
  if (!(last_access < now && now - last_access > kInactiveAfter)) return false;
  if (notifier_.IsSubscribed(kProduct, user_)) return false;
  HV_LOG_INFO("INACTIVE - product '{}', hive '{}'", kProduct, display_name_);
  return true;
}

void Settings::RefreshConnectedFlag() {
  std::lock_guard lock(hive_lock_);
  const json& metadata = Metadata();
  const auto etag = metadata.find("etag");
  connected_ = etag != metadata.end() && etag->is_string() && !etag->get_ref<const std::string&>().empty();
  if (!connected_) pending_pns_id_.clear();
}

json Settings::ConnectionStatus() {
  const json* status = VelderPath::Find(ConnectionStatusPath(), LocalValues());
  return status != nullptr && status->is_object() ? *status : json::object();
}

void Settings::StoreConnectionStatus(const json& status) {
  const ResultCode result = WriteOverlay(ConnectionStatusPath(), status, LocalValues(), nullptr, nullptr);
  if (result != ResultCode::Success) {
    // Only an edited local file (a plain value on the way) can refuse it.
    HV_LOG_WARNING("Failed to write the connection status of hive '{}': {}", display_name_, ResultCodeName(result));
  }
  MarkDirty(true);
  // Also when the status could not be written: the rebuild is what shows a
  // new base document to clients.
  UpdateEffectiveSettings(Origin(std::string()), false);
}

void Settings::WriteConnectionStatus(bool connection_succeeded, bool update_succeeded) {
  std::lock_guard lock(hive_lock_);
  const int64_t now = Now();
  json status = ConnectionStatus();
  status["connected"] = connected_;
  status["last_connection_timestamp"] = now;
  if (connection_succeeded) status["last_successful_connection_timestamp"] = now;
  if (update_succeeded) status["last_successful_update_timestamp"] = now;
  StoreConnectionStatus(status);
}

void Settings::ClearConnectionStatus() {
  std::lock_guard lock(hive_lock_);
  json status = ConnectionStatus();
  status["connected"] = false;
  status.erase("last_connection_timestamp");
  status.erase("last_successful_connection_timestamp");
  status.erase("last_successful_update_timestamp");
  StoreConnectionStatus(status);
}

void Settings::SetToNotConnected() {
  std::lock_guard lock(hive_lock_);
  update_journal_ = nullptr;
  if (connected_) {
    HV_LOG_INFO("Set hive '{}' to not connected", display_name_);
    if (!is_system_hive_) storage_.DeleteBase(kProduct, user_);
    json& metadata = Metadata();
    metadata["etag"] = nullptr;
    metadata["pns_id"] = nullptr;
    RefreshConnectedFlag();
    UpdateSettingsFromDisk(true);
  }
  ClearConnectionStatus();
  SetNextUpdateCheck(kStatusNotConnected);
  MarkDirty(false);
}
