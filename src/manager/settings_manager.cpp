// The manager's threads: the update loop that synchronises one due hive at a
// time, the periodic worker, and the system base file. Request handling is in
// request_handlers.cpp, the system settings in system_settings.cpp.
#include "manager/settings_manager.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <system_error>

#include "logging/log.h"
#include "manager/client_auth_token_source.h"
#include "platform/clock.h"
#include "platform/latebound.h"
#include "platform/maker_libraries.h"
#include "platform/namespace_resolver.h"

using nlohmann::json;

namespace {

int64_t NowSeconds() { return platform::CurrentClock().NowSeconds(); }

}  // namespace

SettingsManager::SettingsManager(Storage& storage, std::unique_ptr<ChangeNotifier> notifier,
                                 platform::ManualResetEvent& stop_event, std::string identity)
    : SettingsManager(storage, std::move(notifier), stop_event, std::move(identity), nullptr, nullptr) {}

SettingsManager::SettingsManager(Storage& storage, std::unique_ptr<ChangeNotifier> notifier,
                                 platform::ManualResetEvent& stop_event, std::string identity,
                                 std::unique_ptr<ServerComm> server_comm, std::unique_ptr<TokenSource> tokens)
    : storage_(storage),
      stop_event_(stop_event),
      identity_(std::move(identity)),
      notifier_(std::move(notifier)),
      server_comm_(server_comm != nullptr ? std::move(server_comm)
                                          : std::make_unique<ServerComm>(identity_, stop_event, kUserAgent)),
      tokens_(tokens != nullptr ? std::move(tokens) : std::make_unique<ClientAuthTokenSource>()) {}

SettingsManager::~SettingsManager() {
  std::vector<std::shared_ptr<Settings>> hives;
  {
    platform::MutexLock lock(mutex_);
    hives.swap(hives_);
  }
  // Requests may still have arrived after the main loop's last pass (the IPC
  // server stops after it); what they changed must reach the disk.
  for (const auto& hive : hives) hive->SaveLocalIfDirty();
  hives.clear();
  // The last report has nowhere to go once the hives are gone.
  statistics_.Stop();
}

std::vector<std::shared_ptr<Settings>> SettingsManager::Hives() {
  platform::MutexLock lock(mutex_);
  return hives_;
}

void SettingsManager::Wake() { wake_event_.Set(); }

void SettingsManager::MainLoop() {
  if (!notifier_->Start()) HV_LOG_ERROR("Failed to launch notifier thread");

  platform::ManualResetEvent started;
  try {
    worker_ = std::jthread([this, &started] {
      started.Set();
      PeriodicWorkLoop();
    });
    started.Wait();
  } catch (const std::system_error& e) {
    // Without the worker, hives are still saved by the last pass below.
    HV_LOG_ERROR("Failed to launch worker thread: {}", e.what());
  }

  while (!stop_event_.IsSet()) {
    std::shared_ptr<Settings> due;
    const std::chrono::milliseconds wait = GetNextWait(due);
    // Only a weak hold while sleeping, so that the worker may drop the hive.
    const std::weak_ptr<Settings> due_hive = due;
    due.reset();
    const int woken = platform::WaitForAny({&stop_event_, &wake_event_}, wait);
    if (woken != platform::kWaitTimeout) continue;
    std::shared_ptr<Settings> hive;
    {
      // Under the lock, so that the worker never drops a hive in use.
      platform::MutexLock lock(mutex_);
      hive = due_hive.lock();
    }
    if (hive != nullptr) UpdateSettings(hive);
  }

  notifier_->Join();
  if (worker_.joinable()) worker_.join();
  ProcessHives();
}

std::chrono::milliseconds SettingsManager::GetNextWait(std::shared_ptr<Settings>& due_hive) {
  std::vector<std::shared_ptr<Settings>> hives;
  {
    // A hive publishes its next check before it signals the wake event, so
    // a change after this reset ends the wait computed below.
    platform::MutexLock lock(mutex_);
    wake_event_.Reset();
    hives = hives_;
  }
  due_hive.reset();
  if (hives.empty()) {
    HV_LOG_DEBUG("Wait: INFINITE");
    return kInfiniteWait;
  }
  const int64_t now = NowSeconds();
  int64_t target = 0;
  for (const auto& hive : hives) {
    const int64_t next_check = hive->next_check();
    if (due_hive == nullptr || next_check < target) {
      due_hive = hive;
      target = next_check;
    }
  }
  const int64_t backoff_until = server_comm_->backoff_until();
  if (backoff_until > now && backoff_until >= target) target = backoff_until;
  // Far-off targets (30 days for a disconnected hive) still fit in
  // milliseconds; only a corrupt time could overflow them.
  constexpr int64_t kMaxWaitSeconds = std::numeric_limits<int64_t>::max() / 1000;
  const int64_t wait = target > now ? std::min(target - now, kMaxWaitSeconds) : 0;
  HV_LOG_DEBUG("Wait {}s", wait);
  return std::chrono::milliseconds(wait * 1000);
}

void SettingsManager::UpdateSettings(const std::shared_ptr<Settings>& hive) {
  const std::string& user = hive->user();
  // The maker libraries derive their endpoints (token, push stream) from the
  // server address unless the registry names others: tell them first.
  std::string server = InternalGetSystemSettingString(Settings::kProduct, kServerSetting);
  int32_t port = InternalGetSystemSettingInt(Settings::kProduct, kPortSetting, ServerComm::kDefaultPort);
  if (port < 1 || port > 65535) {
    // Cut to 16 bits it would name some other port.
    HV_LOG_WARNING("Port {} of '{}' is no port; using {}", port, kPortSetting, ServerComm::kDefaultPort);
    port = ServerComm::kDefaultPort;
  }
  const std::string installation_root = GetNamespaceRegistryRoot();
  tokens_->SetServer(server, static_cast<uint16_t>(port), installation_root);
  maker::QorPushApi_SetServer(server.c_str(), static_cast<uint16_t>(port), installation_root.c_str());

  std::string token;
  const uint32_t code = tokens_->GetBearerToken(user, token);
  if (code != QOR_CLIENT_AUTH_OK) {
    const std::string reason = tokens_->ErrorText(code);
    HV_LOG_DEBUG("GetBearerToken('{}'): {}", hive->display_name(), reason);
    switch (code) {
      case QOR_CLIENT_AUTH_NO_TOKEN: hive->SetToNotConnected(); break;
      case QOR_CLIENT_AUTH_STORE_UNAVAILABLE:
      case QOR_CLIENT_AUTH_TOKEN_MALFORMED:
        hive->SetNextUpdateCheck(UpdateSchedule::kStatusUnauthorized);
        hive->MarkDirty(false);
        break;
      case QOR_CLIENT_AUTH_TOKEN_REJECTED:
        hive->SetNextUpdateCheck(UpdateSchedule::kStatusFailed);
        hive->MarkDirty(false);
        break;
      default:  // 1, 2, 7 and above, a library that cannot be loaded among them
        hive->SetNextUpdateCheck(UpdateSchedule::kStatusBaseRejected);
        hive->MarkDirty(false);
        break;
    }
    hive->RecordExchangeOutcome("no token: " + reason, server_comm_->backoff_until());
    return;
  }

  hive->SetPollInterval(
      InternalGetSystemSettingInt(Settings::kProduct, kPollIntervalSetting, UpdateSchedule::kDefaultPollInterval));
  const bool patch_enabled = InternalGetSystemSettingBool(Settings::kProduct, kPatchEnabledSetting, true);
  server_comm_->SetServerAddress(std::move(server), static_cast<uint16_t>(port));
  hive->SetPatchEnabled(patch_enabled);

  const bool was_connected = hive->connected();
  const ServerResult result = server_comm_->UpdateSettings(*hive, token);
  hive->UpdateEnd();
  // What the exchange changed (tag, schedule, the pending upload) is on disk
  // before the next one, not only at the worker's next round.
  hive->SaveLocalIfDirty();
  hive->RecordExchangeOutcome(server_comm_->last_result(), server_comm_->backoff_until());
  // The push stream follows the connected flag at once, not at the worker's
  // next round: a change on the server must not wait for it. The worker
  // registers it, so that this thread goes on with the next hive meanwhile.
  if (was_connected || hive->connected()) worker_wake_event_.Set();
  if (hive->is_system_hive() && was_connected && !hive->connected()) {
    // Refused by the server (403/404): the machine's own late-bound settings
    // take the server's place, and their readers are told.
    UpdateSystemBaseFile();
  } else if (result == ServerResult::Updated && hive->is_system_hive()) {
    RescheduleNextUpdateCheck();
  } else if (result == ServerResult::Unauthorized) {
    HV_LOG_INFO("Invalid BXR token, trigger refresh");
    tokens_->RefreshToken(user);
  }
}

void SettingsManager::RescheduleNextUpdateCheck() {
  const int64_t interval =
      InternalGetSystemSettingInt(Settings::kProduct, kPollIntervalSetting, UpdateSchedule::kDefaultPollInterval);
  for (const auto& hive : Hives()) {
    // A hive without a server copy shows the system's base, which may just
    // have changed.
    if (!hive->is_system_hive() && !hive->connected()) hive->UpdateSettingsFromDisk(true);
    hive->RescheduleNextUpdateCheck(interval);
  }
}

bool SettingsManager::UpdateSystemBaseFile() {
  const std::shared_ptr<Settings> hive = GetOrCreateHive(Settings::kSystemUser);
  if (hive == nullptr || hive->connected()) return false;
  const std::string path = Latebound::GetLateboundBaseFile(Settings::kProduct, identity_);
  if (path.empty()) return false;
  HV_LOG_INFO("path='{}'", path);
  // The server's copy wins over the late-bound file, also when it arrives
  // while the file is read.
  if (!hive->ApplyLateboundBase(storage_.LoadOnce(path))) return false;
  RescheduleNextUpdateCheck();
  return true;
}

void SettingsManager::PeriodicWorkLoop() {
  HV_LOG_DEBUG("entering");
  UpdateSystemBaseFile();
  for (;;) {
    const bool stopping = platform::WaitForAny({&stop_event_, &worker_wake_event_}, worker_period_) == 0;
    worker_wake_event_.Reset();
    ProcessHives();
    RemoveInactiveHives();
    if (stopping) break;
  }
  HV_LOG_DEBUG("exiting");
}

void SettingsManager::ProcessHives() {
  for (const auto& hive : Hives()) {
    hive->ConfigurePushNotifications();
    hive->SaveLocalIfDirty();
  }
}

void SettingsManager::RemoveInactiveHives() {
  // The hives are asked without the manager lock (IsInactive asks the
  // notifier); the lock is taken again only to drop the ones still idle.
  std::vector<std::pair<const Settings*, int64_t>> idle;  // with the last access seen
  for (const auto& hive : Hives()) {
    if (!hive->dirty() && hive->IsInactive()) idle.emplace_back(hive.get(), hive->last_access_time());
  }
  if (idle.empty()) return;
  std::vector<std::shared_ptr<Settings>> dropped;
  {
    platform::MutexLock lock(mutex_);
    std::erase_if(hives_, [&](const std::shared_ptr<Settings>& hive) {
      const auto seen = std::find_if(idle.begin(), idle.end(), [&](const auto& entry) { return entry.first == hive.get(); });
      if (seen == idle.end()) return false;
      // A hive that another thread holds (a request in progress, the update
      // loop) would take changes after it was dropped that nobody saves,
      // while a second copy of it came up from the disk. New holders come
      // only from this vector or the update loop's weak hold, both under this
      // lock, so the count cannot grow meanwhile; a request that came and
      // went since the check above touched the hive. Unsaved changes (the
      // last save failed) stay until a save succeeds.
      if (hive.use_count() > 1 || hive->dirty() || hive->last_access_time() != seen->second) return false;
      dropped.push_back(hive);
      return true;
    });
  }
  // Destroyed here, without the manager lock: a hive ends its push
  // registration as it goes, which may wait for a push callback.
  dropped.clear();
}
