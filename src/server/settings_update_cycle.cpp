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
  // Someone asked for it: the floor a past outcome set (30 s after an upload,
  // after a refusal) does not hold this request back.
  not_before_ = Now();
  if (exchange_running_) asked_during_exchange_ = true;
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
  std::lock_guard lock(hive_lock_);
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
  std::lock_guard lock(hive_lock_);
  exchange_running_ = false;
  if (!asked_during_exchange_) return;
  asked_during_exchange_ = false;
  HV_LOG_DEBUG("Asked for during the exchange - hive '{}'", display_name_);
  not_before_ = Now();
  SetNextUpdateCheck(kStatusDueNow);
}

namespace {

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

void Settings::FinishUpdateJournal(bool take_journal, bool connection_succeeded, bool update_succeeded) {
  std::lock_guard lock(hive_lock_);
  if (take_journal) {
    // A journal that never started (no UpdateStart) recorded nothing, so
    // nothing written meanwhile can be lost by taking it as empty.
    json taken = update_journal_.is_object() ? std::move(update_journal_) : json::object();
    update_journal_ = std::move(Patch());
    local_["patch"] = std::move(taken);
    effective_stale_ = true;
  }
  EmptyValue(update_journal_);
  RefreshConnectedFlag();
  WriteConnectionStatus(connection_succeeded, update_succeeded);
}

bool Settings::UpdateFinishData(const std::string& body, const std::string& etag, bool upload) {
  HV_LOG_DEBUG("hive: {}", display_name_);
  const auto timer = MeasureBaseUpdate(statistics_);
  if (etag.empty()) {
    HV_LOG_ERROR("Missing ETAG");
    UpdateFinishError(kErrorGeneral);
    return false;
  }
  json document = json::parse(body, nullptr, false);  // a body that does not parse is discarded below
  std::lock_guard lock(hive_lock_);
  const bool accepted = ApplyBaseSettings(std::move(document));
  if (accepted) {
    Metadata()["etag"] = etag;
    SetNextUpdateCheck(upload ? kStatusUpToDate : kStatusFetched);
  } else {
    SetNextUpdateCheck(kStatusBaseRejected);
  }
  // A refused document is no successful update, whatever the status said.
  FinishUpdateJournal(upload, true, accepted);
  SaveLocalIfDirty();
  return accepted;
}

void Settings::UpdateFinishUpToDate(bool upload) {
  HV_LOG_DEBUG("hive: {}", display_name_);
  const auto timer = MeasureBaseUpdate(statistics_);
  std::lock_guard lock(hive_lock_);
  SetNextUpdateCheck(kStatusUpToDate);
  FinishUpdateJournal(upload, true, false);
}

void Settings::UpdateFinishError(uint32_t reason) {
  HV_LOG_DEBUG("hive: {}", display_name_);
  const auto timer = MeasureBaseUpdate(statistics_);
  std::lock_guard lock(hive_lock_);
  if (reason == kErrorNotFound) {
    FinishUpdateJournal(false, true, false);
    SetToNotConnected();
    return;
  }
  uint32_t code = kStatusFailed;
  bool take_journal = false;
  bool connection_succeeded = false;
  switch (reason) {
    case kErrorUnauthorized:
      code = kStatusUnauthorized;
      connection_succeeded = true;
      break;
    case kErrorRefused:
      code = kStatusDueNow;
      take_journal = true;
      connection_succeeded = true;
      break;
    case kErrorTooMany: code = kStatusTooManyRequests; break;
    default: break;
  }
  FinishUpdateJournal(take_journal, connection_succeeded, false);
  SetNextUpdateCheck(code);
  MarkDirty(false);
}

void Settings::RecordExchangeOutcome(const std::string& result, int64_t server_backoff_until) {
  std::lock_guard lock(hive_lock_);
  json status = ConnectionStatus();
  status["connected"] = connected_;
  status["last_result"] = result;
  status["next_check"] = next_check_;
  if (server_backoff_until > Now()) {
    status["server_backoff_until"] = server_backoff_until;
  } else {
    status.erase("server_backoff_until");
  }
  if (status == ConnectionStatus()) return;
  const ResultCode written = WriteOverlay(ConnectionStatusPath(), status, LocalValues(), nullptr, nullptr);
  if (written != ResultCode::Success) return;  // WriteConnectionStatus has said why
  // Not MarkDirty(true): a pending upload was scheduled by the outcome itself,
  // and rescheduling it here would undo a back-off.
  MarkDirty(false);
  UpdateEffectiveSettings(Origin(std::string()), false);
}
