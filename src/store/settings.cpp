// The hive's documents: loading, new base documents, the effective document
// with its change notifications, saving, and the small state the manager asks
// about.
#include "store/settings.h"

#include <algorithm>
#include <random>
#include <utility>

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

// MergeLocal at the top level, where a member of "local" that the effective
// document lacks is not copied: clients read it from "local" itself.
void MergeLocalIntoMembers(json& effective, const json* local) {
  if (local == nullptr || !local->is_object()) return;
  for (const auto& [name, value] : local->items()) {
    const auto it = effective.find(name);
    if (it != effective.end() && it->is_object() && value.is_object()) MergeLocal(*it, value);
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
      schedule_(std::random_device()()),
      last_access_(Now()) {}

Settings::~Settings() {
  {
    // Once this returns, the push library no longer calls into this hive.
    platform::MutexLock push(push_lock_);
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

void Settings::Load() {
  platform::MutexLock disk(disk_lock_);
  ReadFilesAndRebuild(false);
}

void Settings::UpdateSettingsFromDisk(bool notify) {
  platform::MutexLock disk(disk_lock_);
  ReadFilesAndRebuild(notify);
}

void Settings::ReadFilesAndRebuild(bool notify) {
  if (HvQorLogging::LogIsEnabled(HvQorLogging::kDebug)) {
    HvQorLogging::LogWriteFrom(HvQorLogging::kDebug, "Settings::UpdateSettingsFromDisk", "hive: {}", display_name_);
  }
  bool used_system_base = false;
  json base = LoadBaseFile(used_system_base);
  const bool first_load = !loaded_;
  json local;
  bool created = false;
  size_t replayed = 0;
  if (first_load) {
    local = LoadLocalFile(created);
    // Changes answered Success since the last save, until the next one. The
    // hive is not shared yet: the journal needs no lock of it.
    if (journal_ != nullptr) replayed = journal_->Replay(local);
    if (!local.is_object()) local = json::object();
    loaded_ = true;
  }

  platform::MutexLock lock(hive_lock_);
  base_ = std::move(base);
  effective_stale_ = true;
  const int64_t now = Now();
  if (first_load) {
    local_ = std::move(local);
    if (replayed > 0) {
      created = false;
      dirty_ = true;
      ++local_version_;
    }
    if (created) local_created_.store(true);
    json& metadata = Metadata();
    const auto stored = metadata.find("next_check");
    schedule_.Restore(stored == metadata.end() ? nullptr : &*stored, now);
    if (used_system_base) {
      // The system's base carries no etag of this user: fetch the user's own.
      // Every such load clears them again, so a save is owed only when the
      // file holds a value (most hives of a fresh machine hold none).
      bool stored = false;
      for (const char* key : {"etag", "pns_id"}) {
        json& value = metadata[key];
        stored = stored || value != "";
        value = "";
      }
      if (stored) {
        journalled_ = true;  // the next load does the same
        MarkDirtyLocked(false);
      }
    }
    RefreshConnectedFlagLocked();
    // Changes that never reached the server (the service stopped before the
    // upload) go at once, whatever the stored schedule says.
    if (connected_.load() && patch_enabled_ && !Patch().empty()) schedule_.DueAt(now);
  }
  // The base on disk may carry a schema the overlays were not written for.
  if (!base_.empty()) DropStalePatchValues();
  if (base_.empty()) schedule_.DueAt(now);
  PublishScheduleLocked();
  if (base_.empty() || first_load) update_event_.Set();
  UpdateEffectiveSettingsLocked(notify ? Origin(std::string()) : std::nullopt, true);
}

bool Settings::SaveBase(const json& new_base) {
  if (!Schema::IsValidBase(new_base)) {
    HV_LOG_ERROR("Invalid VELDER base node rejected");
    return false;
  }
  return storage_.SaveBase(kProduct, user_, new_base) == Storage::kStatusOk;
}

void Settings::InstallBaseLocked(json new_base) {
  const json old_schema = SchemaRoot();
  base_ = std::move(new_base);
  effective_stale_ = true;
  if (SchemaRoot() != old_schema) DropStalePatchValues();
  // Report full constraint bits: a path that turns writable may still be
  // admin-only.
  Schema::CompareReadonly(old_schema, SchemaRoot(), [this](const Path& path, uint32_t readonly) {
    hive_lock_.AssertHeld();  // the callback runs within this call
    notifier_.NotifyConstraints(kProduct, user_, path, readonly | GetLocalConstraintsLocked(path), std::string());
  });
}

bool Settings::ApplyBaseSettings(json new_base) {
  platform::MutexLock disk(disk_lock_);
  if (!SaveBase(new_base)) return false;
  platform::MutexLock lock(hive_lock_);
  InstallBaseLocked(std::move(new_base));
  return true;
}

bool Settings::ApplyLateboundBase(json document) {
  // A server copy arrives only under the disk lock (UpdateFinishData), so it
  // cannot arrive between this check and the save.
  platform::MutexLock disk(disk_lock_);
  if (connected_.load() || !SaveBase(document)) return false;
  {
    platform::MutexLock lock(hive_lock_);
    InstallBaseLocked(std::move(document));
  }
  SaveLocalWithDiskLock();
  platform::MutexLock lock(hive_lock_);
  UpdateEffectiveSettingsLocked(Origin(std::string()), true);
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
    MarkDirtyLocked(false);
  }
  return dropped;
}

const json* Settings::LocalValuesOrNull() const { return MemberOf(&local_, "local"); }

const json* Settings::FindLocalBefore(const Path& path, const OverlayUndo* local_change, json& scratch) {
  const json* local = LocalValuesOrNull();
  if (local == nullptr && (local_change == nullptr || !local_change->previous)) return nullptr;
  if (local_change == nullptr || !VelderPath::StartsWith(local_change->path, path)) {
    // Beside the change, or at or below it.
    if (local_change != nullptr && VelderPath::StartsWith(path, local_change->path)) {
      if (!local_change->previous) return nullptr;
      return VelderPath::Find(VelderPath::SubPath(path, local_change->path.size(), path.size()),
                              *local_change->previous);
    }
    return local == nullptr ? nullptr : VelderPath::Find(path, *local);
  }
  if (path.size() == local_change->path.size()) return local_change->previous ? &*local_change->previous : nullptr;
  // Above the change: the value as it is, with the change taken back.
  const json* now = local == nullptr ? nullptr : VelderPath::Find(path, *local);
  if (now == nullptr) return nullptr;
  scratch = *now;
  const Path below = VelderPath::SubPath(local_change->path, path.size(), local_change->path.size());
  if (!local_change->previous) {
    VelderPath::EraseAt(below, scratch);
    return &scratch;
  }
  json* parent = VelderPath::Find(VelderPath::SubPath(below, 0, below.size() - 1), scratch);
  if (parent != nullptr && parent->is_object() && below.back().kind == VelderPath::Element::Key) {
    (*parent)[below.back().key] = *local_change->previous;
  }
  return &scratch;
}

const json* Settings::FindEffective(const Path& path, json& scratch, const OverlayUndo* local_change) {
  if (!effective_.is_object()) return VelderPath::Find(path, effective_);
  if (path.empty()) {
    scratch = EffectiveView(local_change);
    return &scratch;
  }
  const json* node = VelderPath::FindChild(path.front(), effective_);
  if (node == nullptr) {
    return path.front().kind == VelderPath::Element::Key ? FindLocalBefore(path, local_change, scratch) : nullptr;
  }
  for (size_t i = 1; node != nullptr && i < path.size(); ++i) node = VelderPath::FindChild(path[i], *node);
  return node;
}

Settings::Members Settings::ViewMembers(const json& effective, const OverlayUndo* local_change, json& scratch) {
  Members members;
  if (!effective.is_object()) return members;
  for (const auto& [name, value] : effective.items()) members.emplace_back(&name, &value);
  const size_t held = members.size();
  auto add_local = [&](const std::string& name) {
    hive_lock_.AssertHeld();  // the lambda runs within this call
    if (effective.contains(name)) return;
    Path member;
    member.push_back(VelderPath::Element::MakeKey(name));
    if (const json* value = FindLocalBefore(member, local_change, scratch)) members.emplace_back(&name, value);
  };
  if (local_change != nullptr && local_change->path.empty()) {
    // The change replaced "local" whole.
    if (local_change->previous && local_change->previous->is_object()) {
      for (const auto& [name, value] : local_change->previous->items()) add_local(name);
    }
  } else {
    const json* local = LocalValuesOrNull();
    const bool has_local = local != nullptr && local->is_object();
    if (has_local) {
      for (const auto& [name, value] : local->items()) add_local(name);
    }
    // A member the change removed whole.
    if (local_change != nullptr && local_change->path.size() == 1 && local_change->previous) {
      const std::string& name = local_change->path.front().key;
      if (!has_local || !local->contains(name)) add_local(name);
    }
  }
  std::inplace_merge(members.begin(), members.begin() + static_cast<ptrdiff_t>(held), members.end(),
                     [](const auto& a, const auto& b) { return *a.first < *b.first; });
  return members;
}

json Settings::EffectiveView(const OverlayUndo* local_change) {
  json scratch;
  json view = json::object();
  for (const auto& [name, value] : ViewMembers(effective_, local_change, scratch)) view.emplace(*name, *value);
  return view;
}

json Settings::ComputeEffectiveDocument() {
  json fresh = Schema::ComputeEffective(SchemaRoot(), BaseValues(), Patch(), false);
  if (!fresh.is_null()) MergeLocal(fresh, LocalValues());
  return fresh;
}

bool Settings::UpdateEffectiveSettings(const Origin& origin, bool log) {
  platform::MutexLock lock(hive_lock_);
  return UpdateEffectiveSettingsLocked(origin, log);
}

bool Settings::UpdateEffectiveSettingsLocked(const Origin& origin, bool log, const OverlayUndo* local_change) {
  json fresh = Schema::ComputeEffective(SchemaRoot(), BaseValues(), Patch(), log);
  if (fresh.is_null()) return false;
  MergeLocalIntoMembers(fresh, &LocalValues());
  if (origin) {
    // Compared as clients see the documents, local members included, the
    // way NotifyChanges compares two objects.
    json old_scratch;
    json new_scratch;
    Members before;
    if (!effective_.is_null()) before = ViewMembers(effective_, local_change, old_scratch);
    const Members after = ViewMembers(fresh, nullptr, new_scratch);
    auto by_name = [](const auto& member, const std::string* name) { return *member.first < *name; };
    auto find = [&by_name](const Members& members, const std::string* name) -> const json* {
      const auto it = std::lower_bound(members.begin(), members.end(), name, by_name);
      return it != members.end() && *it->first == *name ? it->second : nullptr;
    };
    Path path;
    for (const auto& [name, value] : after) {
      if (!VelderPath::AppendSegment(path, *name)) continue;
      NotifyChanges(find(before, name), value, path, *origin);
      path.pop_back();
    }
    for (const auto& [name, value] : before) {
      if (find(after, name) != nullptr || !VelderPath::AppendSegment(path, *name)) continue;
      NotifyChanges(value, nullptr, path, *origin);
      path.pop_back();
    }
  }
  const std::optional<json> old_flag = StatisticsFlag(local_change);
  effective_ = std::move(fresh);
  effective_stale_ = false;
  UpdateStatistics(old_flag);
  return true;
}

std::optional<json> Settings::StatisticsFlag(const OverlayUndo* local_change) {
  if (!is_system_hive_) return std::nullopt;
  json scratch;
  const json* flag = FindEffective(StatisticsOnPath(), scratch, local_change);
  return flag == nullptr ? std::nullopt : std::optional<json>(*flag);
}

// A write below `changed` reaches the effective document only below the
// deepest key prefix of it whose ancestors are all plain objects: a schema
// object is just the object of its members, and a member the schema does not
// describe is the local value, so the members beside the written one see the
// same base and overlay values as before. There the value is recomputed the
// way the full rebuild computes it, with "local" merged in, and compared with
// what was there; nothing beside it is copied or compared. A top-level member
// that only "local" gives is not held here: what changed in it is what the
// write changed in "local".
void Settings::RebuildEffectiveAt(const Path& changed, const Origin& origin, const OverlayUndo* local_change) {
  const Schema::SchemaNode root(SchemaRoot());
  if (effective_stale_ || !effective_.is_object() || changed.empty() ||
      changed.front().kind != VelderPath::Element::Key || !IsPlainObject(root)) {
    UpdateEffectiveSettingsLocked(origin, false, local_change);
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
    const std::optional<json> old_flag = StatisticsFlag(local_change);
    const bool held = it != effective_parent->end();
    if (i == 0 && !schema_value) {
      // Clients read this member from "local" now.
      if (origin) {
        if (held) {
          NotifyChanges(&*it, local_child, at, *origin);
        } else if (local_change != nullptr && VelderPath::StartsWith(local_change->path, at)) {
          Path where = local_change->path;
          NotifyChanges(local_change->previous ? &*local_change->previous : nullptr,
                        VelderPath::Find(where, LocalValues()), where, *origin);
        }
      }
      if (held) effective_parent->erase(it);
      UpdateStatistics(old_flag);
      return;
    }
    std::optional<json> fresh = WithLocal(std::move(schema_value), local_child);
    if (origin) {
      json scratch;
      const json* old_value = held ? &*it : nullptr;
      if (i == 0 && !held) old_value = FindLocalBefore(at, local_change, scratch);
      NotifyChanges(old_value, fresh ? &*fresh : nullptr, at, *origin);
    }
    if (fresh) {
      if (!held) {
        effective_parent->emplace(key, std::move(*fresh));
      } else {
        *it = std::move(*fresh);
      }
    } else if (held) {
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
  json scratch;
  const json* flag = FindEffective(StatisticsOnPath(), scratch);
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
  MarkDirtyLocked(false);
}

uint32_t Settings::MarkDirty(bool schedule) {
  platform::MutexLock lock(hive_lock_);
  return MarkDirtyLocked(schedule);
}

uint32_t Settings::MarkDirtyLocked(bool schedule) {
  // Changes made outside the value operations (the update cycle, the
  // manager) are journalled as the whole document: they are rare.
  if (!std::exchange(journalled_, false) && !JournalLocal({{}})) {
    HV_LOG_ERROR("Hive '{}' changed without a journal record; a crash before the next save loses it", display_name_);
  }
  ++local_version_;
  dirty_ = true;
  if (schedule && connected_.load() && patch_enabled_ && !Patch().empty()) {
    SetNextUpdateCheckLocked(UpdateSchedule::kStatusDueNow);
  }
  return 0;
}

uint32_t Settings::SaveLocalIfDirty() {
  platform::MutexLock disk(disk_lock_);
  {
    platform::MutexLock lock(hive_lock_);
    if (is_system_hive_ && statistics_ != nullptr) {
      json report = statistics_->PeriodicReport();
      if (!report.is_null()) AppendStatisticsReport(std::move(report));
    }
    if (!dirty_.load()) return Storage::kStatusOk;
  }
  return SaveLocalWithDiskLock();
}

uint32_t Settings::SaveLocalFile() {
  platform::MutexLock disk(disk_lock_);
  return SaveLocalWithDiskLock();
}

// The text is made and synced from a copy, so that readers and writers of
// this hive wait for the copy only. The disk lock keeps two saves of the file
// in order. A change made while the copy is written leaves the hive dirty and
// keeps the journal that holds it: the file has it only after the next save.
uint32_t Settings::SaveLocalWithDiskLock() {
  json copy;
  uint64_t version = 0;
  {
    platform::MutexLock lock(hive_lock_);
    copy = local_;
    version = local_version_;
  }
  const uint32_t status = storage_.SaveLocal(kProduct, user_, copy);
  if (status != Storage::kStatusOk) return status;
  platform::MutexLock lock(hive_lock_);
  if (local_version_ == version) {
    dirty_ = false;
    if (journal_ != nullptr) journal_->Truncate();
  }
  return status;
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

size_t Settings::CompactBytes(const json& document) {
  auto counter = std::make_shared<ByteCounter>();
  nlohmann::detail::serializer<json> serializer(counter, ' ', nlohmann::detail::error_handler_t::replace);
  serializer.dump(document, false, false, 0);
  return counter->count;
}

bool Settings::LocalDocumentFits(size_t growth, size_t limit) {
  platform::MutexLock lock(hive_lock_);
  const auto fits = [limit, growth](size_t bytes) { return bytes <= limit && growth <= limit - bytes; };
  if (local_bytes_version_ == local_version_ && fits(local_bytes_bound_)) return true;
  local_bytes_bound_ = CompactBytes(local_);
  local_bytes_version_ = local_version_;
  return fits(local_bytes_bound_);
}

bool Settings::JournalLocal(const std::vector<std::vector<std::string>>& key_paths) {
  if (journal_ == nullptr) return true;
  return journal_->AppendSnapshots(local_, key_paths);
}

std::string Settings::GetProduct() {
  platform::MutexLock lock(hive_lock_);
  json scratch;
  const json* product = FindEffective(ProductPath(), scratch);
  return product != nullptr && product->is_string() ? product->get<std::string>() : std::string();
}

std::string Settings::GetEtag() {
  platform::MutexLock lock(hive_lock_);
  const json& metadata = Metadata();
  const auto etag = metadata.find("etag");
  return etag != metadata.end() && etag->is_string() ? etag->get<std::string>() : std::string();
}

// ---- Accessors ----

void Settings::Touch() { last_access_.store(Now()); }

int64_t Settings::poll_interval() {
  platform::MutexLock lock(hive_lock_);
  return schedule_.poll_interval();
}

void Settings::SetPollInterval(int64_t seconds) {
  platform::MutexLock lock(hive_lock_);
  schedule_.set_poll_interval(seconds);
}

uint32_t Settings::last_status_code() {
  platform::MutexLock lock(hive_lock_);
  return schedule_.last_status();
}

bool Settings::patch_enabled() {
  platform::MutexLock lock(hive_lock_);
  return patch_enabled_;
}

void Settings::SetPatchEnabled(bool enabled) {
  platform::MutexLock lock(hive_lock_);
  patch_enabled_ = enabled;
}

bool Settings::statistics_on() {
  platform::MutexLock lock(hive_lock_);
  return statistics_on_;
}

void Settings::SetJitterForTesting(std::optional<double> fixed) {
  platform::MutexLock lock(hive_lock_);
  schedule_.SetJitterForTesting(fixed);
}

json Settings::effective_document() {
  platform::MutexLock lock(hive_lock_);
  return effective_.is_object() ? EffectiveView(nullptr) : effective_;
}

json Settings::base_document() {
  platform::MutexLock lock(hive_lock_);
  return base_;
}

json Settings::local_document() {
  platform::MutexLock lock(hive_lock_);
  return local_;
}

json Settings::update_journal() {
  platform::MutexLock lock(hive_lock_);
  return update_journal_;
}
