// The hive's side of push notifications: one registration with the push
// library while the hive is connected, the pns id it reports, and the push
// messages that make the hive update at once.
//
// Lock order: the push lock guards the registration only and is never taken
// under the hive lock. Unregistering waits for a running callback, and a
// callback takes the hive lock; holding the hive lock there could deadlock.
#include <nlohmann/json.hpp>

#include "logging/log.h"
#include "platform/maker_libraries.h"
#include "store/settings.h"

using nlohmann::json;

namespace {

constexpr char kSettingsRefresh[] = "velder.settings.refresh";
constexpr char kNodeDeleted[] = "velder.node.deleted";

// Called on the push library's threads.
uint32_t PushCallback(uint32_t kind, const char* text, void* context) {
  if (text == nullptr || context == nullptr) return 0;
  auto* hive = static_cast<Settings*>(context);
  switch (kind) {
    case QOR_PUSH_API_KIND_MESSAGE: hive->HandlePushNotification(text); break;
    case QOR_PUSH_API_KIND_PNS_ID: hive->UpdatePnsId(text); break;
    default: break;
  }
  return 0;
}

}  // namespace

void Settings::ConfigurePushNotifications() {
  const bool is_connected = connected();
  uint32_t result = 0;
  {
    platform::MutexLock push(push_lock_);
    if (!is_connected && push_registration_ != 0) {
      HV_LOG_INFO("Unregister from push - hive '{}'", display_name_);
      maker::QorPushApi_UnregisterCallback(push_registration_);
      push_registration_ = 0;
    }
    if (is_connected && push_registration_ == 0) {
      HV_LOG_INFO("Register to push - hive '{}'", display_name_);
      uint32_t handle = 0;
      result = maker::QorPushApi_RegisterCallbackUser(&handle, identity_.c_str(), user_.c_str(), &PushCallback, this);
      if (result != 0) {
        const char* reason = maker::QorPushApi_ErrorAsString(result);
        HV_LOG_WARNING("Failed to register push: {} - hive '{}'", reason != nullptr ? reason : "", display_name_);
        handle = 0;
      }
      push_registration_ = handle;
    }
  }
  if (result == QOR_PUSH_API_REFUSED) SetNextUpdateCheck(UpdateSchedule::kStatusPushRefused);
}

void Settings::UpdatePnsId(const std::string& pns_id) {
  platform::MutexLock lock(hive_lock_);
  const json& metadata = Metadata();
  const auto stored = metadata.find("pns_id");
  const std::string confirmed = stored != metadata.end() && stored->is_string() ? stored->get<std::string>() : "";
  // An id already waiting to be sent is not sent twice either.
  if (!connected_.load() || pns_id == confirmed || pns_id == pending_pns_id_) return;
  HV_LOG_INFO("Got new pnsid - hive '{}'", display_name_);
  pending_pns_id_ = pns_id;
  SetNextUpdateCheckLocked(UpdateSchedule::kStatusDueNow);
}

void Settings::GetPendingPnsId(std::string& body, std::string& pns_id) {
  platform::MutexLock lock(hive_lock_);
  if (pending_pns_id_.empty()) {
    body.clear();
    pns_id.clear();
    return;
  }
  pns_id = pending_pns_id_;
  body = json{{"pns_id", pending_pns_id_}}.dump();
}

void Settings::UpdateEffectivePnsId(const std::string& pns_id) {
  platform::MutexLock lock(hive_lock_);
  Metadata()["pns_id"] = pns_id;
  MarkDirtyLocked(false);
  if (pending_pns_id_ == pns_id) {
    HV_LOG_DEBUG("hive '{}' PNSID has been synced with server", display_name_);
    pending_pns_id_.clear();
  }
}

void Settings::HandlePushNotification(const std::string& message) {
  HV_LOG_DEBUG("Received: {}", message);
  std::string type;
  try {
    const json parsed = json::parse(message);
    const json& data = parsed.at("data");
    type = data.value("pns_message_type_id", std::string());
  } catch (const json::exception& e) {
    HV_LOG_WARNING("Failed to parse push notification: {} - '{}'", e.what(), message);
    return;
  }
  if (type != kSettingsRefresh && type != kNodeDeleted) return;
  platform::MutexLock lock(hive_lock_);
  if (!connected_.load()) return;
  HV_LOG_INFO("Push: check now - hive '{}'", display_name_);
  // The server asks for this exchange: the floor after the last one (30 s
  // after an up-to-date answer) would hold the change back for no reason.
  if (exchange_running_) asked_during_exchange_ = true;
  DueNowLocked();
  MarkDirtyLocked(false);
}
