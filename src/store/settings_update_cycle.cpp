// The hive's side of server synchronisation: when it is next due, whether it
// is connected, the connection status that clients read at
// "status.windows.velder", and when the manager may drop it.
#include <algorithm>

#include "logging/log.h"
#include "platform/clock.h"
#include "store/change_sink.h"
#include "store/settings.h"
#include "store/statistics_sink.h"
#include "store/storage.h"

using nlohmann::json;
using VelderPath::Path;

namespace {

// The statistics originator of server updates.
constexpr char kBaseUpdater[] = "base_updater";

// Measures a server base update for the statistics until it goes out of scope.
std::unique_ptr<StatisticsSink::Measurement> MeasureBaseUpdate(const StatisticsSink* statistics) {
  return statistics != nullptr ? statistics->MeasureBaseUpdate(kBaseUpdater) : nullptr;
}

const Path& ConnectionStatusPath() {
  static const Path path = [] {
    Path parsed;
    VelderPath::Parse("status.windows.velder", parsed);
    return parsed;
  }();
  return path;
}

// An emptied value keeps its type: {} [] "" 0 false.
void EmptyValue(json& value) {
  switch (value.type()) {
    case json::value_t::object:
    case json::value_t::array: value.clear(); break;
    case json::value_t::string: value = ""; break;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: value = 0; break;
    case json::value_t::number_float: value = 0.0; break;
    case json::value_t::boolean: value = false; break;
    default: break;
  }
}

}  // namespace

void Settings::SetNextUpdateCheck(uint32_t code) {
  platform::MutexLock lock(hive_lock_);
  SetNextUpdateCheckLocked(code);
}

void Settings::SetNextUpdateCheckLocked(uint32_t code) { ScheduledLocked(schedule_.Set(code, Now())); }

void Settings::DueNowLocked() { ScheduledLocked(schedule_.SetDueNow(Now())); }

void Settings::ScheduledLocked(const UpdateSchedule::Delays& delays) {
  if (HvQorLogging::LogIsEnabled(HvQorLogging::kDebug)) {
    HvQorLogging::LogWriteFrom(HvQorLogging::kDebug, "Settings::SetNextUpdateCheck", "timeout={}, backoff={}, hive={}",
                               delays.timeout, delays.backoff, display_name_);
  }
  Metadata()["next_check"] = schedule_.next_check();
  PublishScheduleLocked();
  update_event_.Set();
}

void Settings::PublishScheduleLocked() {
  not_before_.store(schedule_.not_before());
  next_check_.store(schedule_.next_check());
}

void Settings::UpdateNow() {
  platform::MutexLock lock(hive_lock_);
  HV_LOG_INFO("Hive '{}'", display_name_);
  // Someone asked for it: the floor a past outcome set (30 s after an upload,
  // after a refusal) does not hold this request back.
  if (exchange_running_) asked_during_exchange_ = true;
  DueNowLocked();
  MarkDirtyLocked(false);
}

void Settings::RescheduleNextUpdateCheck(int64_t poll_interval) {
  platform::MutexLock lock(hive_lock_);
  HV_LOG_INFO("RescheduleNextUpdateCheck hive '{}', newPollingInterval '{}'", display_name_, poll_interval);
  if (schedule_.poll_interval() == poll_interval) return;
  schedule_.set_poll_interval(poll_interval);
  SetNextUpdateCheckLocked(schedule_.last_status());
}

// Runs on the manager's worker thread; it reads atomics only, so a hive busy
// with a long operation does not hold the worker up.
bool Settings::IsInactive() {
  const int64_t now = Now();
  const int64_t last_access = last_access_.load();
  if (!(last_access < now && now - last_access > kInactiveAfter)) return false;
  if (notifier_.IsSubscribed(kProduct, user_)) return false;
  HV_LOG_INFO("INACTIVE - product '{}', hive '{}'", kProduct, display_name_);
  return true;
}

void Settings::RefreshConnectedFlagLocked() {
  const json& metadata = Metadata();
  const auto etag = metadata.find("etag");
  connected_ = etag != metadata.end() && etag->is_string() && !etag->get_ref<const std::string&>().empty();
  if (!connected_.load()) pending_pns_id_.clear();
}

json Settings::ConnectionStatus() {
  const json* status = VelderPath::Find(ConnectionStatusPath(), LocalValues());
  return status != nullptr && status->is_object() ? *status : json::object();
}

void Settings::StoreConnectionStatus(const json& status) {
  std::vector<OverlayUndo> written;
  const ResultCode result = WriteOverlay(ConnectionStatusPath(), status, LocalValues(), &written, nullptr);
  if (result != ResultCode::Success) {
    // Only an edited local file (a plain value on the way) can refuse it.
    HV_LOG_WARNING("Failed to write the connection status of hive '{}': {}", display_name_, ResultCodeName(result));
  }
  MarkDirtyLocked(true);
  // Also when the status could not be written: the rebuild is what shows a
  // new base document to clients.
  UpdateEffectiveSettingsLocked(Origin(std::string()), false, written.empty() ? nullptr : &written.front());
}

void Settings::WriteConnectionStatus(bool connection_succeeded, bool update_succeeded) {
  platform::MutexLock lock(hive_lock_);
  WriteConnectionStatusLocked(connection_succeeded, update_succeeded);
}

void Settings::WriteConnectionStatusLocked(bool connection_succeeded, bool update_succeeded) {
  const int64_t now = Now();
  json status = ConnectionStatus();
  status["connected"] = connected_.load();
  status["last_connection_timestamp"] = now;
  if (connection_succeeded) status["last_successful_connection_timestamp"] = now;
  if (update_succeeded) status["last_successful_update_timestamp"] = now;
  StoreConnectionStatus(status);
}

void Settings::ClearConnectionStatus() {
  platform::MutexLock lock(hive_lock_);
  ClearConnectionStatusLocked();
}

void Settings::ClearConnectionStatusLocked() {
  json status = ConnectionStatus();
  status["connected"] = false;
  status.erase("last_connection_timestamp");
  status.erase("last_successful_connection_timestamp");
  status.erase("last_successful_update_timestamp");
  StoreConnectionStatus(status);
}

void Settings::SetToNotConnected() {
  // Held throughout: no server copy can arrive while the base is replaced.
  platform::MutexLock disk(disk_lock_);
  bool was_connected = false;
  {
    platform::MutexLock lock(hive_lock_);
    update_journal_ = nullptr;
    was_connected = connected_.load();
    if (was_connected) {
      HV_LOG_INFO("Set hive '{}' to not connected", display_name_);
      json& metadata = Metadata();
      metadata["etag"] = nullptr;
      metadata["pns_id"] = nullptr;
      RefreshConnectedFlagLocked();
    }
  }
  if (was_connected) {
    // The server's copy goes; the stored or the system base takes its place,
    // read without the hive lock.
    if (!is_system_hive_) storage_.DeleteBase(kProduct, user_);
    ReadFilesAndRebuild(true);
  }
  platform::MutexLock lock(hive_lock_);
  ClearConnectionStatusLocked();
  SetNextUpdateCheckLocked(UpdateSchedule::kStatusNotConnected);
  MarkDirtyLocked(false);
}

// ---- One exchange with the server ----
//
// The journal. While a request is in flight, clients keep writing: every
// write lands in "patch" (what the next upload carries) and also in the
// journal. When the server has taken or refused the upload for good, the
// uploaded "patch" is replaced by the journal, so that exactly the changes
// made meanwhile remain to be sent. When the upload did not end (a failure,
// a 412), "patch" already holds both and the journal is simply emptied.

std::string Settings::UpdateStart() {
  HV_LOG_DEBUG("hive: {}", display_name_);
  platform::MutexLock lock(hive_lock_);
  update_journal_ = json::object();
  // A second start within one exchange (a re-sent upload) keeps what was
  // asked for since the first.
  if (!exchange_running_) asked_during_exchange_ = false;
  exchange_running_ = true;
  const json& patch = Patch();
  if (patch.empty()) return std::string();
  return json{{"values", patch}}.dump();
}

void Settings::UpdateEnd() {
  platform::MutexLock lock(hive_lock_);
  exchange_running_ = false;
  if (!asked_during_exchange_) return;
  asked_during_exchange_ = false;
  HV_LOG_DEBUG("Asked for during the exchange - hive '{}'", display_name_);
  DueNowLocked();
}

void Settings::FinishUpdateJournalLocked(bool take_journal, bool connection_succeeded, bool update_succeeded) {
  if (take_journal) {
    // A journal that never started (no UpdateStart) recorded nothing, so
    // nothing written meanwhile can be lost by taking it as empty.
    json taken = update_journal_.is_object() ? std::move(update_journal_) : json::object();
    update_journal_ = std::move(Patch());
    local_["patch"] = std::move(taken);
    effective_stale_ = true;
  }
  EmptyValue(update_journal_);
  RefreshConnectedFlagLocked();
  WriteConnectionStatusLocked(connection_succeeded, update_succeeded);
}

bool Settings::UpdateFinishData(const std::string& body, const std::string& etag, bool upload) {
  HV_LOG_DEBUG("hive: {}", display_name_);
  const auto timer = MeasureBaseUpdate(statistics_);
  if (etag.empty()) {
    HV_LOG_ERROR("Missing ETAG");
    UpdateFinishError(kErrorGeneral);
    return false;
  }
  json document = json::parse(body, nullptr, false);  // a body that does not parse is refused below
  bool accepted = false;
  {
    // The tag is set under the disk lock that the document was saved under:
    // the late-bound base cannot take its place meanwhile.
    platform::MutexLock disk(disk_lock_);
    accepted = SaveBase(document);
    platform::MutexLock lock(hive_lock_);
    if (accepted) {
      InstallBaseLocked(std::move(document));
      Metadata()["etag"] = etag;
      SetNextUpdateCheckLocked(upload ? UpdateSchedule::kStatusUpToDate : UpdateSchedule::kStatusFetched);
    } else {
      SetNextUpdateCheckLocked(UpdateSchedule::kStatusBaseRejected);
    }
    // A refused document is no successful update, whatever the status said.
    FinishUpdateJournalLocked(upload, true, accepted);
  }
  SaveLocalIfDirty();
  return accepted;
}

void Settings::UpdateFinishUpToDate(bool upload) {
  HV_LOG_DEBUG("hive: {}", display_name_);
  const auto timer = MeasureBaseUpdate(statistics_);
  platform::MutexLock lock(hive_lock_);
  SetNextUpdateCheckLocked(UpdateSchedule::kStatusUpToDate);
  FinishUpdateJournalLocked(upload, true, false);
}

void Settings::UpdateFinishError(uint32_t reason) {
  HV_LOG_DEBUG("hive: {}", display_name_);
  const auto timer = MeasureBaseUpdate(statistics_);
  if (reason == kErrorNotFound) {
    {
      platform::MutexLock lock(hive_lock_);
      FinishUpdateJournalLocked(false, true, false);
    }
    SetToNotConnected();
    return;
  }
  uint32_t code = UpdateSchedule::kStatusFailed;
  bool take_journal = false;
  bool connection_succeeded = false;
  switch (reason) {
    case kErrorUnauthorized:
      code = UpdateSchedule::kStatusUnauthorized;
      connection_succeeded = true;
      break;
    case kErrorRefused:
      code = UpdateSchedule::kStatusDueNow;
      take_journal = true;
      connection_succeeded = true;
      break;
    case kErrorTooMany: code = UpdateSchedule::kStatusTooManyRequests; break;
    default: break;
  }
  platform::MutexLock lock(hive_lock_);
  FinishUpdateJournalLocked(take_journal, connection_succeeded, false);
  SetNextUpdateCheckLocked(code);
  MarkDirtyLocked(false);
}

void Settings::RecordExchangeOutcome(const std::string& result, int64_t server_backoff_until) {
  platform::MutexLock lock(hive_lock_);
  json status = ConnectionStatus();
  status["connected"] = connected_.load();
  status["last_result"] = result;
  status["next_check"] = schedule_.next_check();
  if (server_backoff_until > Now()) {
    status["server_backoff_until"] = server_backoff_until;
  } else {
    status.erase("server_backoff_until");
  }
  if (status == ConnectionStatus()) return;
  std::vector<OverlayUndo> change;
  const ResultCode written = WriteOverlay(ConnectionStatusPath(), status, LocalValues(), &change, nullptr);
  if (written != ResultCode::Success) return;  // WriteConnectionStatus has said why
  // Not MarkDirty(true): a pending upload was scheduled by the outcome itself,
  // and rescheduling it here would undo a back-off.
  MarkDirtyLocked(false);
  UpdateEffectiveSettingsLocked(Origin(std::string()), false, change.empty() ? nullptr : &change.front());
}
