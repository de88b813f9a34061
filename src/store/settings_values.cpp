// The operations clients perform on a hive: read, write, delete, enumerate,
// and the constraints of a path (read-only from the schema, admin-only from
// the hive's "local_admin_only" list).
#include <algorithm>
#include <string>

#include "logging/log.h"
#include "store/change_journal.h"
#include "store/change_sink.h"
#include "store/schema_node.h"
#include "store/schema_readonly.h"
#include "store/schema_reset.h"
#include "store/settings.h"
#include "store/storage.h"

using nlohmann::json;
using VelderPath::Element;
using VelderPath::Path;

namespace {

// Whether `effective` already holds `value`: equal, or for an object every
// member of the value present with an equal value (compared the same way),
// whatever else the effective object holds.
bool Covers(const json& effective, const json& value) {
  if (!value.is_object()) return effective == value;
  if (!effective.is_object()) return false;
  for (const auto& [name, member] : value.items()) {
    const auto it = effective.find(name);
    if (it == effective.end() || !Covers(*it, member)) return false;
  }
  return true;
}

// The member of `object` that a path names by `element`, as the path of a
// member is built (a digit-led name is an index).
const json* MemberNamedBy(const json& object, const Element& element) {
  if (element.kind == Element::Key) {
    const auto it = object.find(element.key);
    return it == object.end() ? nullptr : &*it;
  }
  for (const auto& [name, member] : object.items()) {
    Path segment;
    if (VelderPath::AppendSegment(segment, name) && segment.front() == element) return &member;
  }
  return nullptr;
}

// Whether a value written at a path of `depth` elements reaches `target` (a
// path below it) through its object members.
bool ValueReaches(const json& value, const Path& target, size_t depth) {
  const json* node = &value;
  for (size_t i = depth; i < target.size(); ++i) {
    if (!node->is_object()) return false;
    node = MemberNamedBy(*node, target[i]);
    if (node == nullptr) return false;
  }
  return true;
}

size_t FirstIndexElement(const Path& path) {
  size_t i = 0;
  while (i < path.size() && path[i].kind != Element::Index) ++i;
  return i;
}

}  // namespace

ResultCode Settings::GetValue(const Path& path, json& value, const RequestContext& request) {
  Touch();
  if (!request.read) return ResultCode::AccessDenied;
  platform::MutexLock lock(hive_lock_);
  json scratch;
  const json* found = FindEffective(path, scratch);
  if (found == nullptr) return ResultCode::NotFound;
  value = found == &scratch ? std::move(scratch) : *found;
  return ResultCode::Success;
}

ResultCode Settings::SetValue(const Path& path, const json& value, const RequestContext& request,
                              const std::string& origin) {
  Touch();
  if (!request.write) return ResultCode::AccessDenied;
  platform::MutexLock lock(hive_lock_);
  // The checks below read the effective document: it must match the base.
  if (effective_stale_) UpdateEffectiveSettingsLocked(Origin(std::string()), false);
  const json& schema = SchemaRoot();
  if (Schema::IsReadonly(schema, path)) return ResultCode::NotAllowed;
  std::vector<Path> guarded;
  if (!request.admin) {
    if (AdminOnlyRefuses(path, guarded)) return ResultCode::NotAllowed;
    for (const Path& admin_only : guarded) {
      if (VelderPath::StartsWith(admin_only, path) && ValueReaches(value, admin_only, path.size())) {
        return ResultCode::NotAllowed;
      }
    }
  }

  Schema::SchemaNode node(schema);
  VelderPath::Walk(path, node);
  std::optional<json> described;
  std::optional<json> undescribed;
  if (node.Validate(value, described, undescribed) != Schema::kValid) return ResultCode::SchemaViolation;

  // Every write is recorded so that a failure leaves the documents as they
  // were, the journal included: a change the client was told failed must not
  // reach the server with the next upload.
  std::vector<OverlayUndo> undo;
  bool written = false;
  ResultCode result = ResultCode::Success;
  if (described) {
    json scratch;
    const json* current = FindEffective(path, scratch);
    if (current == nullptr || !Covers(*current, *described)) {
      result = WriteOverlay(path, *described, Patch(), &undo, &written);
      if (result == ResultCode::Success && update_journal_.is_object()) {
        WriteOverlay(path, *described, update_journal_, &undo, nullptr);
      }
    }
  }
  if (result == ResultCode::Success && undescribed) {
    result = WriteOverlay(path, *undescribed, LocalValues(), &undo, &written);
  }
  const OverlayUndo* local_change = nullptr;
  for (const OverlayUndo& record : undo) {
    if (record.overlay == &LocalValues()) local_change = &record;
  }
  // A whole object or array written above an admin-only path may drop or
  // change it without naming it: what counts is the value it would have.
  if (result == ResultCode::Success && written && ChangesAnyOf(guarded, local_change)) {
    result = ResultCode::NotAllowed;
  }
  if (result == ResultCode::Success && written) {
    // Journalled before the answer; a change that cannot be is undone.
    std::vector<std::vector<std::string>> changed;
    for (const OverlayUndo& record : undo) {
      if (record.overlay == &update_journal_) continue;
      std::vector<std::string> keys = ChangeJournal::KeyPrefix(record.path);
      keys.insert(keys.begin(), record.overlay == &LocalValues() ? "local" : "patch");
      changed.push_back(std::move(keys));
    }
    if (!JournalLocal(changed)) result = ResultCode::GenericFailure;
  }
  if (result != ResultCode::Success) {
    Undo(undo);
    return result;
  }
  if (written) {
    journalled_ = true;
    MarkDirtyLocked(true);
    RebuildEffectiveAt(path, origin, local_change);
  }
  return ResultCode::Success;
}

ResultCode Settings::WriteOverlay(const Path& path, const json& value, json& overlay, std::vector<OverlayUndo>* undo,
                                  bool* changed) {
  if (!overlay.is_object()) return ResultCode::InvalidParameters;
  bool type_mismatch = false;
  Path target = path;
  json whole;  // the array container, when the path reaches into an array
  const json* write = &value;
  const size_t first_index = FirstIndexElement(path);
  if (first_index < path.size()) {
    // Arrays are stored whole: the element is replaced in a copy of the array
    // the client sees, and the copy is written.
    target = VelderPath::SubPath(path, 0, first_index);
    json scratch;
    const json* container = FindEffective(target, scratch);
    if (container == nullptr) return ResultCode::NotAllowed;
    whole = *container;
    if (!VelderPath::SetAt(VelderPath::SubPath(path, first_index, path.size()), whole, value, type_mismatch)) {
      return type_mismatch ? ResultCode::InvalidType : ResultCode::NotAllowed;
    }
    write = &whole;
  }

  // Find what the write replaces or creates, for the undo record.
  json* node = &overlay;
  size_t depth = 0;
  for (; depth < target.size(); ++depth) {
    json* child = VelderPath::FindChild(target[depth], *node);
    if (child == nullptr) break;
    node = child;
  }
  if (depth == target.size() && node->type() == write->type() && *node == *write) return ResultCode::Success;
  OverlayUndo record;
  record.overlay = &overlay;
  if (depth == target.size()) {
    record.path = target;
    record.previous = *node;
  } else if (node->is_null()) {
    record.path = VelderPath::SubPath(target, 0, depth);  // a null that becomes an object
    record.previous = json();
  } else {
    record.path = VelderPath::SubPath(target, 0, depth + 1);  // a member that is created
  }

  if (!VelderPath::SetAt(target, overlay, *write, type_mismatch)) {
    return type_mismatch ? ResultCode::InvalidType : ResultCode::NotAllowed;
  }
  if (undo != nullptr) undo->push_back(std::move(record));
  if (changed != nullptr) *changed = true;
  return ResultCode::Success;
}

void Settings::Undo(std::vector<OverlayUndo>& undo) {
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    if (it->previous) {
      if (json* node = VelderPath::Find(it->path, *it->overlay)) *node = std::move(*it->previous);
    } else {
      VelderPath::EraseAt(it->path, *it->overlay);
    }
  }
  undo.clear();
}

ResultCode Settings::DeleteValue(const Path& path, const RequestContext& request, const std::string& origin) {
  Touch();
  if (!request.write) return ResultCode::AccessDenied;
  platform::MutexLock lock(hive_lock_);
  if (effective_stale_) UpdateEffectiveSettingsLocked(Origin(std::string()), false);
  json scratch;
  if (FindEffective(path, scratch) == nullptr) return ResultCode::NotFound;
  std::vector<Path> guarded;
  if (!request.admin) {
    if (AdminOnlyRefuses(path, guarded)) return ResultCode::NotAllowed;
    for (const Path& admin_only : guarded) {
      if (VelderPath::StartsWith(admin_only, path) && FindEffective(admin_only, scratch) != nullptr) {
        return ResultCode::NotAllowed;
      }
    }
  }
  // Kept to put back when the delete would move an admin-only array element.
  std::optional<json> local_before;
  if (!guarded.empty()) local_before = local_;
  const json& schema = SchemaRoot();
  // What the delete may change, for its journal record and for undoing it.
  std::vector<std::string> patch_keys = ChangeJournal::KeyPrefix(path);
  std::vector<std::string> local_keys = patch_keys;
  patch_keys.insert(patch_keys.begin(), "patch");
  local_keys.insert(local_keys.begin(), "local");
  Patch();
  LocalValues();
  const std::vector<ChangeJournal::Change> before = {ChangeJournal::Snapshot(local_, patch_keys),
                                                     ChangeJournal::Snapshot(local_, local_keys)};
  const json journal_before = update_journal_;
  if (Schema::ResetPath(schema, path, BaseValues(), Patch()) == Schema::kResetRefused) {
    ChangeJournal::ApplyChanges(before, local_);
    return ResultCode::SchemaViolation;
  }
  if (!update_journal_.is_null()) Schema::ResetPath(schema, path, BaseValues(), update_journal_);
  VelderPath::EraseAt(path, LocalValues());
  // What the delete did to "local", for the admin-only check and the rebuild.
  OverlayUndo local_change{&LocalValues(), {}, before[1].value};
  for (const std::string& key : local_keys) {
    if (&key != &local_keys.front()) local_change.path.push_back(Element::MakeKey(key));
  }
  if (ChangesAnyOf(guarded, &local_change)) {
    local_ = std::move(*local_before);
    update_journal_ = journal_before;
    return ResultCode::NotAllowed;
  }
  if (!JournalLocal({patch_keys, local_keys})) {
    ChangeJournal::ApplyChanges(before, local_);
    update_journal_ = journal_before;
    return ResultCode::GenericFailure;
  }
  journalled_ = true;
  MarkDirtyLocked(true);
  RebuildEffectiveAt(path, origin, &local_change);
  return ResultCode::Success;
}

ResultCode Settings::Enumerate(std::string_view path_text, const RequestContext& request, std::vector<Entry>& entries) {
  Path path;
  if (!VelderPath::Parse(path_text, path)) return ResultCode::InvalidParameters;
  json value;
  const ResultCode result = GetValue(path, value, request);
  if (result != ResultCode::Success) return result;
  if (value.is_array()) {
    entries.clear();
    entries.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) entries.push_back({std::to_string(i), ValueTypeOf(value[i])});
    return ResultCode::Success;
  }
  if (value.is_object()) {
    entries.clear();
    entries.reserve(value.size());
    for (const auto& [name, member] : value.items()) entries.push_back({name, ValueTypeOf(member)});
    return ResultCode::Success;
  }
  return ResultCode::InvalidType;
}

uint32_t Settings::GetConstraints(const Path& path) {
  Touch();
  platform::MutexLock lock(hive_lock_);
  return GetConstraintsLocked(path);
}

uint32_t Settings::GetConstraintsLocked(const Path& path) {
  const uint32_t readonly = Schema::IsReadonly(SchemaRoot(), path) ? kConstraintReadonly : 0;
  return readonly | GetLocalConstraintsLocked(path);
}

bool Settings::ReadAdminOnlyPaths(std::vector<Path>& paths, std::string& error) {
  if (!local_.is_object()) return true;
  const auto list = local_.find("local_admin_only");
  if (list == local_.end() || list->is_null()) return true;
  try {
    for (const json& entry : list->get_ref<const json::array_t&>()) {
      const std::string& text = entry.get_ref<const std::string&>();
      Path path;
      if (!VelderPath::Parse(text, path)) {
        // Only an edited file holds such an entry; it can match no valid path.
        HV_LOG_WARNING("Skipped admin-only entry '{}' of hive '{}': Invalid VELDER path", text, display_name_);
        continue;
      }
      paths.push_back(std::move(path));
    }
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

uint32_t Settings::GetLocalConstraints(const Path& path) {
  platform::MutexLock lock(hive_lock_);
  return GetLocalConstraintsLocked(path);
}

uint32_t Settings::GetLocalConstraintsLocked(const Path& path) {
  std::vector<Path> admin_only;
  std::string error;
  if (!ReadAdminOnlyPaths(admin_only, error)) {
    HV_LOG_WARNING("Failed to check constraints: {}", error);
    return kConstraintAdminOnly;
  }
  for (const Path& entry : admin_only) {
    if (VelderPath::StartsWith(path, entry)) return kConstraintAdminOnly;
  }
  return 0;
}

bool Settings::AdminOnlyRefuses(const Path& path, std::vector<Path>& guarded) {
  if (!CheckAndGetAdminOnlyPathsDescendedFrom(path, guarded)) return true;
  const size_t first_index = FirstIndexElement(path);
  if (first_index < path.size()) {
    guarded.clear();
    return !CheckAndGetAdminOnlyPathsDescendedFrom(VelderPath::SubPath(path, 0, first_index), guarded);
  }
  return false;
}

bool Settings::ChangesAnyOf(const std::vector<Path>& guarded, const OverlayUndo* local_change) {
  if (guarded.empty()) return false;
  const json fresh = ComputeEffectiveDocument();
  for (const Path& admin_only : guarded) {
    json scratch;
    const json* before = FindEffective(admin_only, scratch, local_change);
    const json* after = VelderPath::Find(admin_only, fresh);
    if ((before == nullptr) != (after == nullptr) || (before != nullptr && *before != *after)) return true;
  }
  return false;
}

bool Settings::CheckAndGetAdminOnlyPathsDescendedFrom(const Path& path, std::vector<Path>& below) {
  std::vector<Path> admin_only;
  std::string error;
  if (!ReadAdminOnlyPaths(admin_only, error)) {
    // A list that cannot be read protects everything, as GetLocalConstraints
    // reports it.
    HV_LOG_WARNING("Failed to check admin-only paths: {}", error);
    return false;
  }
  for (Path& entry : admin_only) {
    if (VelderPath::StartsWith(path, entry)) return false;
    if (VelderPath::StartsWith(entry, path)) below.push_back(std::move(entry));
  }
  return true;
}

ResultCode Settings::SetLocalConstraints(const Path& path, uint32_t requested, const RequestContext& request,
                                         const std::string& origin) {
  Touch();
  platform::MutexLock lock(hive_lock_);
  if ((requested & kConstraintReadonly) != 0 || Schema::IsReadonly(SchemaRoot(), path)) {
    return ResultCode::NotAllowed;
  }
  if (!request.admin) return ResultCode::AccessDenied;

  // Entries are compared as paths, so that "a.01" and "a.1" are one entry.
  const bool had_list = local_.is_object() && local_.contains("local_admin_only");
  json& list = LocalMember("local_admin_only", json::value_t::array);
  json before = list;
  auto names_path = [&path](const json& entry) {
    Path parsed;
    return entry.is_string() && VelderPath::Parse(entry.get_ref<const std::string&>(), parsed) && parsed == path;
  };
  bool changed = false;
  if ((requested & kConstraintAdminOnly) != 0) {
    if (std::none_of(list.begin(), list.end(), names_path)) {
      list.push_back(VelderPath::ToString(path));
      changed = true;
    }
  } else if (requested == 0) {
    auto& entries = list.get_ref<json::array_t&>();
    const auto removed = std::remove_if(entries.begin(), entries.end(), names_path);
    changed = removed != entries.end();
    entries.erase(removed, entries.end());
  }
  if (!changed) return ResultCode::Success;
  if (!JournalLocal({{"local_admin_only"}})) {
    if (had_list) {
      list = std::move(before);
    } else {
      local_.erase("local_admin_only");
    }
    return ResultCode::GenericFailure;
  }
  journalled_ = true;
  notifier_.NotifyConstraints(kProduct, user_, path, GetConstraintsLocked(path), origin);
  return Storage::ToResultCode(MarkDirtyLocked(true));
}
