// The hive's documents: loading, new base documents, the effective document
// with its change notifications, saving, and the small state the manager asks
// about. The value operations are in settings_values.cpp.
#include "store/settings.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/maker_libraries.h"
#include "store/change_journal.h"
#include "store/change_sink.h"
#include "store/schema_base.h"
#include "store/schema_effective.h"
#include "store/schema_node.h"
#include "store/schema_readonly.h"
#include "store/statistics_sink.h"
#include "store/storage.h"

using nlohmann::json;
using VelderPath::Path;

namespace {

// The member `name` of `parent` (an object), made an empty value of `type`
// when it is missing or of another type.
json& EnsureMember(json& parent, const char* name, json::value_t type) {
  if (!parent.is_object()) parent = json::object();
  json& member = parent[name];
  if (member.type() != type) member = json(type);
  return member;
}

const json* MemberOf(const json* parent, const std::string& name) {
  if (parent == nullptr || !parent->is_object()) return nullptr;
  const auto it = parent->find(name);
  return it == parent->end() ? nullptr : &*it;
}

// Base values and overlays that are empty count as absent, as in
// Schema::ComputeEffective.
const json* PresentOrNull(const json& values) {
  if (values.is_null() || (values.is_object() && values.empty())) return nullptr;
  return &values;
}

// Values kept locally fill what the schema leaves out: a member the effective
// document lacks is copied in, objects on both sides merge, and anywhere else
// the effective value stays.
void MergeLocal(json& effective, const json& local) {
  for (const auto& [name, value] : local.items()) {
    const auto it = effective.find(name);
    if (it == effective.end()) {
      effective.emplace(name, value);
    } else if (it->is_object() && value.is_object()) {
      MergeLocal(*it, value);
    }
  }
}

// The effective value at a node from its schema value (none: the schema
// gives nothing) and the local value there (null pointer: none).
std::optional<json> WithLocal(std::optional<json> schema_value, const json* local_value) {
  if (local_value == nullptr) return schema_value;
  if (!schema_value) return *local_value;
  if (schema_value->is_object() && local_value->is_object()) MergeLocal(*schema_value, *local_value);
  return schema_value;
}

// A schema object whose value is exactly the object of its members' values:
// a change below one member cannot change any other member.
bool IsPlainObject(const Schema::SchemaNode& node) {
  return !node.IsAbsent() && node.Type() == Schema::kObject && !node.IsDynamic() && !node.HasPatternProperties() &&
         node.Properties() != nullptr;
}

const Path& StatisticsOnPath() {
  static const Path path = [] {
    Path parsed;
    VelderPath::Parse("windows.velder.statistics_on", parsed);
    return parsed;
  }();
  return path;
}

const Path& ProductPath() {
  static const Path path = [] {
    Path parsed;
    VelderPath::Parse("windows.velder.product", parsed);
    return parsed;
  }();
  return path;
}

// "next_check" as stored; false for anything but a number that fits.
bool ReadSeconds(const json& value, int64_t& seconds) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    seconds = value.get<int64_t>();
    return true;
  }
  if (value.is_number_unsigned()) {
    const uint64_t v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    seconds = static_cast<int64_t>(v);
    return true;
  }
  if (value.is_number_float()) {
    const double v = value.get<double>();
    // Beyond +-2^63 (or NaN) the conversion would be undefined.
    if (!(v > -9.2e18 && v < 9.2e18)) return false;
    seconds = static_cast<int64_t>(v);
    return true;
  }
  return false;
}

// Erases the members of `overlay` (an object at `node`) whose values are of
// another type than their schema node says, at every depth the schema
// describes as plain objects; `where` names `overlay` in the log lines. Nulls
// stay: they ask the server to delete.
bool DropMisfits(const Schema::SchemaNode& node, json& overlay, const std::string& where, std::string_view hive) {
  bool dropped = false;
  for (auto it = overlay.begin(); it != overlay.end();) {
    const std::string path = where.empty() ? it.key() : where + "." + it.key();
    const Schema::SchemaNode child(node, it.key());
    // Below a dynamic node any value merges; only typed nodes can misfit.
    const Schema::SchemaType want = child.IsAbsent() || child.IsDynamic() ? Schema::kNone : child.Type();
    const Schema::SchemaType have = Schema::GetValueSchemaType(*it);
    if (want != Schema::kNone && have != Schema::kNone && want != have) {
      HV_LOG_WARNING("Dropped local value of '{}' in hive '{}': {} no longer fits its schema", path, hive,
                     it->dump());
      it = overlay.erase(it);
      dropped = true;
      continue;
    }
    if (want == Schema::kObject && have == Schema::kObject && !child.IsDynamic()) {
      dropped = DropMisfits(child, *it, path, hive) || dropped;
    }
    ++it;
  }
  return dropped;
}

}  // namespace

Settings::Settings(std::string user, Storage& storage, ChangeSink& notifier,
                   platform::ManualResetEvent& update_event, StatisticsSink* statistics, std::string identity)
    : is_system_hive_(user == kSystemUser),
      user_(std::move(user)),
      display_name_(MakeDisplayName(user_)),
      identity_(std::move(identity)),
      storage_(storage),
      notifier_(notifier),
      update_event_(update_event),
      statistics_(statistics),
      journal_(ChangeJournal::ForLocalFile(storage.GetFileName(kProduct, user_, "local"))),
      last_access_(Now()) {
  std::random_device device;
  random_.seed(device());
  UpdateSettingsFromDisk(false);
}

Settings::~Settings() {
  {
    // Once this returns, the push library no longer calls into this hive.
    std::lock_guard push(push_lock_);
    if (push_registration_ != 0) maker::QorPushApi_UnregisterCallback(push_registration_);
    push_registration_ = 0;
  }
  update_event_.Set();
}

int64_t Settings::Now() { return platform::CurrentClock().NowSeconds(); }

std::string Settings::MakeDisplayName(std::string_view user) {
  // Count characters, not bytes, so that a character is never cut in half.
  std::vector<size_t> starts;
  for (size_t i = 0; i < user.size(); ++i) {
    if ((static_cast<unsigned char>(user[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  if (starts.size() <= 9) return std::string(user);
  const std::string_view first = user.substr(0, starts[1]);
  const std::string_view last = user.substr(starts[starts.size() - 7]);
  return std::string(first) + ".." + std::string(last);
}

// ---- Documents ----

json& Settings::SchemaRoot() {
  json& data = EnsureMember(base_, "data", json::value_t::object);
  return EnsureMember(data, "eff_schema", json::value_t::object);
}

json& Settings::BaseValues() {
  json& data = EnsureMember(base_, "data", json::value_t::object);
  return EnsureMember(data, "values", json::value_t::object);
}

json& Settings::LocalMember(const char* name, json::value_t type) { return EnsureMember(local_, name, type); }
json& Settings::Patch() { return LocalMember("patch", json::value_t::object); }
json& Settings::LocalValues() { return LocalMember("local", json::value_t::object); }
json& Settings::Metadata() { return LocalMember("metadata", json::value_t::object); }

json Settings::LoadBaseFile(bool& used_system_base) {
  used_system_base = false;
  json document = storage_.LoadBase(kProduct, user_);
  if (document.is_null() && !is_system_hive_) {
    // A user without a base of its own starts from the system hive's.
    used_system_base = true;
    document = storage_.LoadBase(kProduct, kSystemUser);
  }
  if (!document.is_object()) {
    HV_LOG_ERROR("Failed to load base file, product '{}', hive '{}'", kProduct, display_name_);
    document = json::object();
  }
  return document;
}

json Settings::LoadLocalFile(bool& created) {
  json document = storage_.LoadLocal(kProduct, user_);
  created = !document.is_object();
  if (created) document = json::object();
  return document;
}

void Settings::UpdateSettingsFromDisk(bool notify) {
  std::lock_guard lock(hive_lock_);
  HV_LOG_DEBUG("hive: {}", display_name_);
  bool used_system_base = false;
  base_ = LoadBaseFile(used_system_base);
  effective_stale_ = true;
  const int64_t now = Now();
  const bool first_load = local_.is_null();
  if (first_load) {
    bool created = false;
    local_ = LoadLocalFile(created);
    // Changes answered Success since the last save, until the next one.
    if (journal_ != nullptr && journal_->Replay(local_) > 0) {
      if (!local_.is_object()) local_ = json::object();
      created = false;
      dirty_ = true;
    }
    if (created) local_created_.store(true);
    json& metadata = Metadata();
    const auto stored = metadata.find("next_check");
    if (stored == metadata.end() || !ReadSeconds(*stored, next_check_)) next_check_ = now;
    if (next_check_ > now + kMaxStoredNextCheckAhead) next_check_ = now;
    if (used_system_base) {
      // The system's base carries no etag of this user: fetch the user's own.
      metadata["etag"] = "";
      metadata["pns_id"] = "";
      journalled_ = true;  // the next load does the same
      MarkDirty(false);
    }
    RefreshConnectedFlag();
    // Changes that never reached the server (the service stopped before the
    // upload) go at once, whatever the stored schedule says.
    if (connected_ && patch_enabled_ && !Patch().empty()) next_check_ = now;
  }
  // The base on disk may carry a schema the overlays were not written for.
  if (!base_.empty()) DropStalePatchValues();
  if (base_.empty()) {
    next_check_ = now;
    update_event_.Set();
  } else if (first_load) {
    update_event_.Set();
  }
  UpdateEffectiveSettings(notify ? Origin(std::string()) : std::nullopt, true);
}

bool Settings::ApplyBaseSettings(json new_base) {
  if (!Schema::IsValidBase(new_base)) {
    HV_LOG_ERROR("Invalid VELDER base node rejected");
    return false;
  }
  std::lock_guard lock(hive_lock_);
  if (storage_.SaveBase(kProduct, user_, new_base) != Storage::kStatusOk) return false;
  const json old_schema = SchemaRoot();
  base_ = std::move(new_base);
  effective_stale_ = true;
  if (SchemaRoot() != old_schema) DropStalePatchValues();
  // Report full constraint bits: a path that turns writable may still be
  // admin-only.
  Schema::CompareReadonly(old_schema, SchemaRoot(), [this](const Path& path, uint32_t readonly) {
    notifier_.NotifyConstraints(kProduct, user_, path, readonly | GetLocalConstraints(path), std::string());
  });
  return true;
}

bool Settings::DropStalePatchValues() {
  const Schema::SchemaNode root(SchemaRoot());
  const auto patch = local_.is_object() ? local_.find("patch") : local_.end();
  bool dropped = patch != local_.end() && patch->is_object() &&
                 DropMisfits(root, *patch, std::string(), display_name_);
  if (update_journal_.is_object()) DropMisfits(root, update_journal_, std::string(), display_name_);
  if (dropped) {
    effective_stale_ = true;
    MarkDirty(false);
  }
  return dropped;
}

json Settings::ComputeEffectiveDocument() {
  json fresh = Schema::ComputeEffective(SchemaRoot(), BaseValues(), Patch(), false);
  if (!fresh.is_null()) MergeLocal(fresh, LocalValues());
  return fresh;
}

bool Settings::UpdateEffectiveSettings(const Origin& origin, bool log) {
  std::lock_guard lock(hive_lock_);
  json fresh = Schema::ComputeEffective(SchemaRoot(), BaseValues(), Patch(), log);
  if (fresh.is_null()) return false;
  MergeLocal(fresh, LocalValues());
  if (origin) {
    Path path;
    NotifyChanges(effective_.is_null() ? nullptr : &effective_, &fresh, path, *origin);
  }
  std::optional<json> old_flag;
  if (const json* flag = VelderPath::Find(StatisticsOnPath(), effective_)) old_flag = *flag;
  effective_ = std::move(fresh);
  effective_stale_ = false;
  UpdateStatistics(old_flag);
  return true;
}

// A write below `changed` reaches the effective document only below the
// deepest key prefix of it whose ancestors are all plain objects: a schema
// object is just the object of its members, and a member the schema does not
// describe is a copy of the local value, so the members beside the written
// one see the same base and overlay values as before. There the value is
// recomputed the way the full rebuild computes it, with "local" merged in,
// and compared with what was there; nothing beside it is copied or compared.
void Settings::RebuildEffectiveAt(const Path& changed, const Origin& origin) {
  const Schema::SchemaNode root(SchemaRoot());
  if (effective_stale_ || !effective_.is_object() || changed.empty() ||
      changed.front().kind != VelderPath::Element::Key || !IsPlainObject(root)) {
    UpdateEffectiveSettings(origin, false);
    return;
  }
  size_t keys = 0;
  while (keys < changed.size() && changed[keys].kind == VelderPath::Element::Key) ++keys;

  // None once the walk has left the schema: from there on the effective
  // document holds the local values as they are.
  std::optional<Schema::SchemaNode> node = root;
  json* effective_parent = &effective_;
  const json* base_parent = PresentOrNull(BaseValues());
  const json* patch_parent = PresentOrNull(Patch());
  const json* local_parent = &LocalValues();
  Path at;
  for (size_t i = 0;; ++i) {
    const std::string& key = changed[i].key;
    at.push_back(changed[i]);
    const json* properties = node ? node->Properties() : nullptr;
    const bool described = properties != nullptr && properties->contains(key);
    std::optional<Schema::SchemaNode> child;
    if (described) child.emplace(*node, key);
    const json* base_child = MemberOf(base_parent, key);
    const json* patch_child = MemberOf(patch_parent, key);
    const json* local_child = MemberOf(local_parent, key);
    const auto it = effective_parent->find(key);
    // Deeper only where the effective value is an object as built; anywhere
    // else the value at this level is recomputed whole.
    const bool descend = i + 1 < keys && it != effective_parent->end() && it->is_object() &&
                         (described ? IsPlainObject(*child) : local_child != nullptr && local_child->is_object());
    if (descend) {
      effective_parent = &*it;
      node = std::move(child);
      base_parent = base_child;
      patch_parent = patch_child;
      local_parent = local_child;
      continue;
    }

    std::optional<json> schema_value;
    if (described) {
      json applied = child->Apply(base_child, patch_child, at, false);
      if (!applied.is_null()) schema_value = std::move(applied);
    }
    std::optional<json> fresh = WithLocal(std::move(schema_value), local_child);

    std::optional<json> old_flag;
    if (const json* flag = VelderPath::Find(StatisticsOnPath(), effective_)) old_flag = *flag;
    const json* old_value = it == effective_parent->end() ? nullptr : &*it;
    if (origin) NotifyChanges(old_value, fresh ? &*fresh : nullptr, at, *origin);
    if (fresh) {
      if (it == effective_parent->end()) {
        effective_parent->emplace(key, std::move(*fresh));
      } else {
        *it = std::move(*fresh);
      }
    } else if (it != effective_parent->end()) {
      effective_parent->erase(it);
    }
    UpdateStatistics(old_flag);
    return;
  }
}

// Objects are compared member by member, everything else (arrays included)
// as a whole. Members whose names no path can name are left out: nobody can
// subscribe to them. Where an object and a plain value replace each other,
// the leaves that went away are reported as removed as well, so that a client
// watching one of them learns that it is gone.
void Settings::NotifyChanges(const json* old_value, const json* new_value, Path& path, const std::string& origin) {
  if (new_value != nullptr && new_value->is_object()) {
    const bool old_is_object = old_value != nullptr && old_value->is_object();
    if (old_value != nullptr && !old_is_object) NotifyChange(path, nullptr, origin);
    for (const auto& [name, value] : new_value->items()) {
      if (!VelderPath::AppendSegment(path, name)) continue;
      NotifyChanges(old_is_object ? MemberOf(old_value, name) : nullptr, &value, path, origin);
      path.pop_back();
    }
    if (!old_is_object) return;
    for (const auto& [name, value] : old_value->items()) {
      if (new_value->contains(name) || !VelderPath::AppendSegment(path, name)) continue;
      NotifyChanges(&value, nullptr, path, origin);
      path.pop_back();
    }
    return;
  }
  if (new_value != nullptr) {
    if (old_value != nullptr && *old_value == *new_value) return;
    if (old_value != nullptr && old_value->is_object()) NotifyChanges(old_value, nullptr, path, origin);
    NotifyChange(path, new_value, origin);
    return;
  }
  if (old_value == nullptr) return;
  if (!old_value->is_object()) {
    NotifyChange(path, nullptr, origin);
    return;
  }
  for (const auto& [name, value] : old_value->items()) {
    if (!VelderPath::AppendSegment(path, name)) continue;
    NotifyChanges(&value, nullptr, path, origin);
    path.pop_back();
  }
}

void Settings::NotifyChange(const Path& path, const json* value, const std::string& origin) {
  notifier_.Notify(kProduct, user_, path, value != nullptr ? std::optional<json>(*value) : std::nullopt, origin);
}

// The system hive's flag follows its setting after every rebuild, whether or
// not anybody is told of the change: a missing setting means off, a value
// that is no boolean is ignored (and logged once when it appears).
void Settings::UpdateStatistics(const std::optional<json>& old_flag) {
  if (!is_system_hive_) return;
  const json* flag = VelderPath::Find(StatisticsOnPath(), effective_);
  if (flag == nullptr) {
    statistics_on_ = false;
  } else if (flag->is_boolean()) {
    statistics_on_ = flag->get<bool>();
  } else if (!old_flag || *old_flag != *flag) {
    HV_LOG_WARNING("Ignored 'windows.velder.statistics_on' of hive '{}': {} is not a boolean", display_name_,
                   flag->dump());
  }
  if (statistics_ == nullptr) return;
  json report = statistics_->SetCollecting(statistics_on_);
  if (!report.is_null()) AppendStatisticsReport(std::move(report));
}

void Settings::AppendStatisticsReport(json report) {
  json& reports = LocalMember("statistics", json::value_t::array);
  reports.push_back(std::move(report));
  if (reports.size() > kMaxStatisticsReports) {
    auto& list = reports.get_ref<json::array_t&>();
    list.erase(list.begin(), list.end() - static_cast<ptrdiff_t>(kMaxStatisticsReports));
  }
  // A report exists only in this document until it is saved; it is the
  // service's own record, answered to nobody, so it is not journalled.
  journalled_ = true;
  MarkDirty(false);
}

uint32_t Settings::MarkDirty(bool schedule) {
  std::lock_guard lock(hive_lock_);
  // Changes made outside the value operations (the update cycle, the
  // manager) are journalled as the whole document: they are rare.
  if (!std::exchange(journalled_, false) && !JournalLocal({{}})) {
    HV_LOG_ERROR("Hive '{}' changed without a journal record; a crash before the next save loses it", display_name_);
  }
  dirty_ = true;
  if (schedule && connected_ && patch_enabled_ && !Patch().empty()) SetNextUpdateCheck(kStatusDueNow);
  return 0;
}

double Settings::NextJitter() {
  std::lock_guard lock(hive_lock_);
  double u = std::generate_canonical<double, 53>(random_);
  if (u >= 1.0) u = std::nextafter(1.0, 0.0);  // rounding may reach 1 on some libraries
  return u * 0.2;
}

void Settings::SeedRandomForTesting(uint32_t seed) {
  std::lock_guard lock(hive_lock_);
  random_.seed(seed);
}

uint32_t Settings::SaveLocalIfDirty() {
  std::lock_guard lock(hive_lock_);
  if (is_system_hive_ && statistics_ != nullptr) {
    json report = statistics_->PeriodicReport();
    if (!report.is_null()) AppendStatisticsReport(std::move(report));
  }
  if (!dirty_) return Storage::kStatusOk;
  return SaveLocalFile();
}

namespace {

// Counts what the serializer would write.
class ByteCounter final : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  void write_character(char) override { ++count; }
  void write_characters(const char*, std::size_t length) override { count += length; }
  size_t count = 0;
};

}  // namespace

size_t Settings::LocalDocumentBytes() {
  std::lock_guard lock(hive_lock_);
  auto counter = std::make_shared<ByteCounter>();
  nlohmann::detail::serializer<json> serializer(counter, ' ', nlohmann::detail::error_handler_t::replace);
  serializer.dump(local_, false, false, 0);
  return counter->count;
}

uint32_t Settings::SaveLocalFile() {
  std::lock_guard lock(hive_lock_);
  const uint32_t status = storage_.SaveLocal(kProduct, user_, local_);
  // A failed save keeps the changes marked, so that the next flush tries
  // again, and keeps the journal that holds them.
  if (status == Storage::kStatusOk) {
    dirty_ = false;
    if (journal_ != nullptr) journal_->Truncate();
  }
  return status;
}

bool Settings::JournalLocal(const std::vector<std::vector<std::string>>& key_paths) {
  if (journal_ == nullptr) return true;
  return journal_->AppendSnapshots(local_, key_paths);
}

std::string Settings::GetProduct() {
  std::lock_guard lock(hive_lock_);
  const json* product = VelderPath::Find(ProductPath(), effective_);
  return product != nullptr && product->is_string() ? product->get<std::string>() : std::string();
}

std::string Settings::GetEtag() {
  std::lock_guard lock(hive_lock_);
  const json& metadata = Metadata();
  const auto etag = metadata.find("etag");
  return etag != metadata.end() && etag->is_string() ? etag->get<std::string>() : std::string();
}

// ---- Accessors ----

bool Settings::connected() {
  std::lock_guard lock(hive_lock_);
  return connected_;
}

int64_t Settings::next_check() {
  std::lock_guard lock(hive_lock_);
  return next_check_;
}

int64_t Settings::not_before() {
  std::lock_guard lock(hive_lock_);
  return not_before_;
}

int64_t Settings::poll_interval() {
  std::lock_guard lock(hive_lock_);
  return poll_interval_;
}

void Settings::SetPollInterval(int64_t seconds) {
  std::lock_guard lock(hive_lock_);
  poll_interval_ = seconds;
}

uint32_t Settings::last_status_code() {
  std::lock_guard lock(hive_lock_);
  return last_status_;
}

bool Settings::patch_enabled() {
  std::lock_guard lock(hive_lock_);
  return patch_enabled_;
}

void Settings::SetPatchEnabled(bool enabled) {
  std::lock_guard lock(hive_lock_);
  patch_enabled_ = enabled;
}

bool Settings::statistics_on() {
  std::lock_guard lock(hive_lock_);
  return statistics_on_;
}

bool Settings::dirty() {
  std::lock_guard lock(hive_lock_);
  return dirty_;
}

json Settings::effective_document() {
  std::lock_guard lock(hive_lock_);
  return effective_;
}

json Settings::base_document() {
  std::lock_guard lock(hive_lock_);
  return base_;
}

json Settings::local_document() {
  std::lock_guard lock(hive_lock_);
  return local_;
}
