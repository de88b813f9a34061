#include "platform/sqlite_registry.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/registry_database.h"
#include "platform/registry_key_path.h"
#include "platform/registry_value_format.h"
#include "platform/sid.h"
#include "platform/utf.h"

using platform::RegistryBytes;
using platform::RegistryDatabase;

enum class SqliteRegistry::Access {
  kRead,
  kWrite,   // the key must exist
  kCreate,  // the database is created when missing
};

struct SqliteRegistry::Target {
  enum class Kind {
    kKey,        // a key of `database`, possibly missing
    kUsersRoot,  // HKEY_USERS itself: its subkeys are the hives
    kEmptyRoot,  // the root of a machine or current-user hive with no database yet
  };
  Kind kind = Kind::kKey;
  RegistryDatabase* database = nullptr;
  // The key's path inside its database, and its components.
  std::string path;
  std::vector<std::string_view> components;
  // Owns the text `components` points into.
  std::string key;
};

namespace {

constexpr const char* kDefaultDirectory = "/var/lib/halvern/registry";
constexpr const char* kMachineFile = "HKLM.db";
constexpr const char* kUsersFolder = "HKU";
constexpr const char* kProtectedFolder = "protected";
constexpr std::string_view kHiveSuffix = ".db";

bool IsStringType(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> parts;
  platform::SplitKeyPath(path, parts);
  return parts;
}

bool AtOrBelow(const std::vector<std::string_view>& path, const std::vector<std::string_view>& key) {
  if (path.size() == key.size()) {
    return std::equal(path.begin(), path.end(), key.begin(), platform::EqualsIgnoreCase);
  }
  return platform::IsBelowKey(path, key);
}

// The protected key that `path` lies at or below; null when none.
const std::string* ProtectedRootOf(const std::vector<std::string_view>& path) {
  for (const std::string& key : SqliteRegistry::ProtectedKeys()) {
    if (AtOrBelow(path, Components(key))) return &key;
  }
  return nullptr;
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Copies the key `path` of `from`, its values and subkeys into `to`; values
// `to` already holds stay as they are. Runs inside a transaction of `to`.
RegistryError CopyTreeBetween(RegistryDatabase& from, RegistryDatabase& to, const std::string& path) {
  RegistryError e = to.CreateKey(Components(path));
  std::vector<std::string> names;
  if (e == RegistryError::Ok) e = from.ListValues(path, names);
  for (const std::string& name : names) {
    if (e != RegistryError::Ok) break;
    uint32_t type = 0;
    RegistryBytes data;
    if (to.ReadValue(path, name, type, data) == RegistryError::Ok) continue;
    e = from.ReadValue(path, name, type, data);
    if (e == RegistryError::Ok) e = to.WriteValue(path, name, type, data);
  }
  if (e == RegistryError::Ok) e = from.ListSubKeys(path, names);
  for (const std::string& name : names) {
    if (e != RegistryError::Ok) break;
    e = CopyTreeBetween(from, to, platform::JoinKeyPath(path, name));
  }
  return e;
}

RegistryError DeleteTreeIn(RegistryDatabase& db, const std::string& path) {
  std::vector<std::string> names;
  RegistryError e = db.ListSubKeys(path, names);
  for (const std::string& name : names) {
    if (e != RegistryError::Ok) break;
    e = DeleteTreeIn(db, platform::JoinKeyPath(path, name));
  }
  return e == RegistryError::Ok ? db.DeleteKey(path) : e;
}

}  // namespace

std::string SqliteRegistry::DefaultDirectory() {
  const char* dir = ::getenv("HALVERN_REGISTRY_DIR");
  return dir && *dir ? std::string(dir) : std::string(kDefaultDirectory);
}

const std::vector<std::string>& SqliteRegistry::ProtectedKeys() {
  static const std::vector<std::string> keys = {"SOFTWARE\\Halvern\\QOR\\ClientAuth"};
  return keys;
}

bool SqliteRegistry::IsProtectedKey(std::string_view key) {
  std::vector<std::string_view> parts;
  return platform::SplitKeyPath(key, parts) == RegistryError::Ok && ProtectedRootOf(parts) != nullptr;
}

SqliteRegistry::SqliteRegistry() : SqliteRegistry(DefaultDirectory()) {}

SqliteRegistry::SqliteRegistry(std::string directory) : directory_(std::move(directory)) {
  while (directory_.size() > 1 && directory_.back() == '/') directory_.pop_back();
}

SqliteRegistry::~SqliteRegistry() = default;

bool SqliteRegistry::Finish(RegistryError result, RegistryError* error) {
  last_error_ = result;
  if (error) *error = result;
  return result == RegistryError::Ok;
}

std::string SqliteRegistry::MachineFile() const { return directory_ + '/' + kMachineFile; }

std::string SqliteRegistry::ProtectedFile() const {
  return directory_ + '/' + kProtectedFolder + '/' + kMachineFile;
}

RegistryError SqliteRegistry::PrepareProtectedFolder() const {
  const std::string folder = directory_ + '/' + kProtectedFolder;
  for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    const std::string parent = folder.substr(0, slash);
    if (::mkdir(parent.c_str(), 0755) == 0) ::chmod(parent.c_str(), 0755);
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return errno == EACCES || errno == EPERM || errno == EROFS ? RegistryError::AccessDenied : RegistryError::Failed;
  }
  struct stat st;
  // A link or a file in its place is somebody else's doing: never write there.
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return RegistryError::Failed;
  if (st.st_uid != ::geteuid()) return RegistryError::AccessDenied;
  if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) return RegistryError::Failed;
  return RegistryError::Ok;
}

void SqliteRegistry::MoveProtectedKeys(RegistryDatabase& machine) {
  for (const std::string& key : ProtectedKeys()) {
    if (machine.KeyExists(key) != RegistryError::Ok) continue;
    RegistryDatabase* secrets = nullptr;
    if (OpenDatabase(ProtectedFile(), Access::kCreate, secrets) != RegistryError::Ok) return;
    // Copied first, deleted after the copy committed: an interruption leaves
    // the key in both files, and the next start completes the move.
    if (secrets->Begin() != RegistryError::Ok) return;
    if (secrets->End(CopyTreeBetween(machine, *secrets, key)) != RegistryError::Ok) return;
    if (machine.EraseDeletedContent() != RegistryError::Ok || machine.Begin() != RegistryError::Ok) return;
    machine.End(DeleteTreeIn(machine, key));
  }
}

void SqliteRegistry::AddProtectedSubKeys(const std::string& path, std::vector<std::string>& names) {
  const std::vector<std::string_view> parent = Components(path);
  bool added = false;
  for (const std::string& key : ProtectedKeys()) {
    const std::vector<std::string_view> parts = Components(key);
    if (parts.size() != parent.size() + 1 || !platform::IsBelowKey(parts, parent)) continue;
    const std::string_view name = parts.back();
    if (std::any_of(names.begin(), names.end(), [&](const std::string& n) { return platform::EqualsIgnoreCase(n, name); })) {
      continue;
    }
    RegistryDatabase* secrets = nullptr;
    // Whoever may not read the protected file does not learn that it holds the key.
    if (OpenDatabase(ProtectedFile(), Access::kRead, secrets) != RegistryError::Ok) continue;
    if (secrets->KeyExists(key) != RegistryError::Ok) continue;
    std::vector<std::string> stored;
    // The name as it was created, from the key's own parent listing.
    if (secrets->ListSubKeys(path, stored) == RegistryError::Ok) {
      for (const std::string& n : stored) {
        if (platform::EqualsIgnoreCase(n, name)) names.push_back(n);
      }
      added = true;
    }
  }
  if (!added) return;
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const std::string la = AsciiLower(a);
    const std::string lb = AsciiLower(b);
    return la != lb ? la < lb : a < b;
  });
}

void SqliteRegistry::CreateProtectedAncestors(const std::vector<std::string_view>& components) {
  const std::string* root = ProtectedRootOf(components);
  if (root == nullptr) return;
  std::vector<std::string_view> parents = Components(*root);
  parents.pop_back();
  RegistryDatabase* machine = nullptr;
  if (parents.empty() || OpenDatabase(MachineFile(), Access::kCreate, machine) != RegistryError::Ok) return;
  std::string path;
  for (std::string_view part : parents) path = platform::JoinKeyPath(path, part);
  if (machine->KeyExists(path) == RegistryError::Ok || machine->Begin() != RegistryError::Ok) return;
  machine->End(machine->CreateKey(parents));
}

std::string SqliteRegistry::HiveFile(const std::string& sid) const {
  return directory_ + '/' + kUsersFolder + '/' + sid + std::string(kHiveSuffix);
}

RegistryError SqliteRegistry::OpenDatabase(const std::string& file, Access access, RegistryDatabase*& database) {
  auto it = databases_.find(file);
  if (it != databases_.end()) {
    RegistryDatabase* cached = it->second.get();
    // A database inside a transaction of a composite operation stays put.
    if (cached->in_transaction() ||
        (cached->IsCurrent() && (access == Access::kRead || cached->writable()))) {
      database = cached;
      return RegistryError::Ok;
    }
    databases_.erase(it);
  }
  const bool secrets = file == ProtectedFile();
  RegistryDatabase::Mode mode = access == Access::kRead    ? RegistryDatabase::Mode::kRead
                                : access == Access::kWrite ? RegistryDatabase::Mode::kWrite
                                : secrets                  ? RegistryDatabase::Mode::kCreatePrivate
                                                           : RegistryDatabase::Mode::kCreate;
  if (mode == RegistryDatabase::Mode::kCreatePrivate) {
    if (RegistryError e = PrepareProtectedFolder(); e != RegistryError::Ok) return e;
  }
  std::unique_ptr<RegistryDatabase> opened;
  if (RegistryError e = RegistryDatabase::Open(file, mode, opened); e != RegistryError::Ok) return e;
  database = opened.get();
  databases_[file] = std::move(opened);
  if (file == MachineFile() && !protected_keys_checked_ && ::geteuid() == 0) {
    protected_keys_checked_ = true;
    // With the folder in place, other users are told AccessDenied for a
    // protected key, never that it is missing.
    PrepareProtectedFolder();
    if (database->writable()) MoveProtectedKeys(*database);
  }
  return RegistryError::Ok;
}

RegistryError SqliteRegistry::Locate(const std::string& key, Access access, Target& target) {
  target = Target();
  target.key = key;
  std::vector<std::string_view> parts;
  if (RegistryError e = platform::SplitKeyPath(target.key, parts); e != RegistryError::Ok) return e;

  std::string file;
  size_t first = 0;
  switch (root_) {
    case HKEY::LocalMachine:
      file = ProtectedRootOf(parts) != nullptr ? ProtectedFile() : MachineFile();
      if (file != MachineFile() && !protected_keys_checked_ && ::geteuid() == 0) {
        // Secrets still in the readable file move before anybody reads them.
        RegistryDatabase* machine = nullptr;
        // A damaged readable file may still hold them: they are not known
        // to be absent.
        if (OpenDatabase(MachineFile(), Access::kRead, machine) == RegistryError::Failed) return RegistryError::Failed;
      }
      break;
    case HKEY::CurrentUser:
      file = HiveFile(platform::SidForUid(::geteuid()));
      break;
    case HKEY::Users:
      if (parts.empty()) {
        target.kind = Target::Kind::kUsersRoot;
        return RegistryError::Ok;
      }
      // Below HKEY_USERS there are only the hives, named by SID.
      if (!platform::IsValidSidText(parts[0])) {
        return access == Access::kCreate ? RegistryError::InvalidArgument : RegistryError::NotFound;
      }
      file = HiveFile(platform::CanonicalSidText(parts[0]));
      first = 1;
      break;
    default:
      return RegistryError::InvalidArgument;
  }
  target.components.assign(parts.begin() + static_cast<ptrdiff_t>(first), parts.end());
  for (std::string_view component : target.components) {
    target.path = platform::JoinKeyPath(target.path, component);
  }

  // The roots of the machine and of the current user always exist, even
  // before anything was written there.
  const bool permanent_root = target.components.empty() && root_ != HKEY::Users;
  if (access == Access::kWrite && permanent_root) access = Access::kCreate;
  RegistryError e = OpenDatabase(file, access, target.database);
  if (e == RegistryError::NotFound && access == Access::kRead && permanent_root) {
    target.kind = Target::Kind::kEmptyRoot;
    return RegistryError::Ok;
  }
  return e;
}

RegistryError SqliteRegistry::ListHives(std::vector<std::string>& sids) const {
  sids.clear();
  const std::string folder = directory_ + '/' + kUsersFolder;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    if (errno == ENOENT) return RegistryError::Ok;
    return errno == EACCES || errno == EPERM ? RegistryError::AccessDenied : RegistryError::Failed;
  }
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() <= kHiveSuffix.size() || !name.ends_with(kHiveSuffix)) continue;
    name.remove_suffix(kHiveSuffix.size());
    // Only files named as this class names them are hives.
    if (platform::IsCanonicalSidText(name)) sids.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(sids.begin(), sids.end());
  return RegistryError::Ok;
}

// ---- Enumeration ----

RegistryError SqliteRegistry::DoEnumSubKeys(const std::string& key, std::vector<std::string>& names) {
  names.clear();
  Target target;
  RegistryError e = Locate(key, Access::kRead, target);
  if (e != RegistryError::Ok) return e;
  switch (target.kind) {
    case Target::Kind::kEmptyRoot:
      return RegistryError::Ok;
    case Target::Kind::kUsersRoot:
      return ListHives(names);
    case Target::Kind::kKey:
      break;
  }
  e = target.database->ListSubKeys(target.path, names);
  if (e == RegistryError::Ok && root_ == HKEY::LocalMachine && target.database->file() == MachineFile()) {
    AddProtectedSubKeys(target.path, names);
  }
  return e;
}

RegistryError SqliteRegistry::DoEnumValues(const std::string& key, std::vector<std::string>& names) {
  names.clear();
  Target target;
  RegistryError e = Locate(key, Access::kRead, target);
  if (e != RegistryError::Ok || target.kind != Target::Kind::kKey) return e;
  return target.database->ListValues(target.path, names);
}

uint32_t SqliteRegistry::EnumSubKeys(const std::string& key, std::vector<std::string>& names, RegistryError* error) {
  Finish(DoEnumSubKeys(key, names), error);
  return static_cast<uint32_t>(names.size());
}

uint32_t SqliteRegistry::EnumValues(const std::string& key, std::vector<std::string>& names, RegistryError* error) {
  Finish(DoEnumValues(key, names), error);
  return static_cast<uint32_t>(names.size());
}

uint32_t SqliteRegistry::GetSubKeyCount(const std::string& key, RegistryError* error) {
  std::vector<std::string> names;
  return EnumSubKeys(key, names, error);
}

uint32_t SqliteRegistry::GetValueCount(const std::string& key, RegistryError* error) {
  std::vector<std::string> names;
  return EnumValues(key, names, error);
}

std::string SqliteRegistry::GetSubKeyPath(const std::string& key, uint32_t index, RegistryError* error) {
  std::vector<std::string> names;
  RegistryError e = DoEnumSubKeys(key, names);
  if (e == RegistryError::Ok && index >= names.size()) e = RegistryError::InvalidArgument;
  if (!Finish(e, error)) return std::string();
  return platform::JoinKeyPath(key, names[index]);
}

// ---- Keys ----

RegistryError SqliteRegistry::DoCreateKey(const std::string& path) {
  Target target;
  RegistryError e = Locate(path, Access::kCreate, target);
  if (e != RegistryError::Ok || target.kind != Target::Kind::kKey || target.components.empty()) return e;
  RegistryDatabase* db = target.database;
  if ((e = db->Begin()) != RegistryError::Ok) return e;
  if ((e = db->End(db->CreateKey(target.components))) != RegistryError::Ok) return e;
  if (root_ == HKEY::LocalMachine && db->file() == ProtectedFile()) CreateProtectedAncestors(target.components);
  return RegistryError::Ok;
}

bool SqliteRegistry::IsHiveRoot(const std::string& key) const {
  std::vector<std::string_view> parts;
  return root_ == HKEY::Users && platform::SplitKeyPath(key, parts) == RegistryError::Ok && parts.size() == 1;
}

RegistryError SqliteRegistry::DoDeleteKey(const std::string& parent, const std::string& child) {
  // A hive's root is not a key that can be deleted, whether it exists or not.
  if (child.empty() || IsHiveRoot(platform::JoinKeyPath(parent, child))) return RegistryError::InvalidArgument;
  Target target;
  RegistryError e = Locate(platform::JoinKeyPath(parent, child), Access::kWrite, target);
  if (e != RegistryError::Ok) return e;
  if (target.kind != Target::Kind::kKey || target.components.empty()) return RegistryError::InvalidArgument;
  RegistryDatabase* db = target.database;
  if (root_ == HKEY::LocalMachine && db->file() == MachineFile()) {
    // A protected subkey is a subkey too: the key is not empty.
    std::vector<std::string> protected_children;
    AddProtectedSubKeys(target.path, protected_children);
    if (!protected_children.empty()) return RegistryError::Failed;
  }
  if ((e = db->Begin()) != RegistryError::Ok) return e;
  return db->End(db->DeleteKey(target.path));
}

bool SqliteRegistry::CreateKey(const std::string& parent, const std::string& child, RegistryError* error) {
  if (child.empty()) return Finish(RegistryError::InvalidArgument, error);
  return Finish(DoCreateKey(platform::JoinKeyPath(parent, child)), error);
}

bool SqliteRegistry::DeleteKey(const std::string& parent, const std::string& child, RegistryError* error) {
  return Finish(DoDeleteKey(parent, child), error);
}

bool SqliteRegistry::CreateKeyPath(const std::string& path, RegistryError* error) {
  // A trailing backslash names an empty last key.
  if (!path.empty() && path.back() == '\\') return Finish(RegistryError::InvalidArgument, error);
  return Finish(DoCreateKey(path), error);
}

bool SqliteRegistry::DeleteKeyPath(const std::string& path, RegistryError* error) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return Finish(RegistryError::InvalidArgument, error);
  return Finish(DoDeleteKey(path.substr(0, slash), path.substr(slash + 1)), error);
}

bool SqliteRegistry::KeyExists(const std::string& key, RegistryError* error) {
  Target target;
  RegistryError e = Locate(key, Access::kRead, target);
  if (e == RegistryError::Ok && target.kind == Target::Kind::kKey) e = target.database->KeyExists(target.path);
  return Finish(e, error);
}

bool SqliteRegistry::KeyExists(const std::string& parent, const std::string& child, RegistryError* error) {
  return KeyExists(platform::JoinKeyPath(parent, child), error);
}

// ---- Values ----

RegistryError SqliteRegistry::DoReadValue(const std::string& key, const std::string& name, uint32_t& type,
                                          std::vector<uint8_t>& data) {
  if (RegistryError e = platform::CheckValueName(name); e != RegistryError::Ok) return e;
  Target target;
  RegistryError e = Locate(key, Access::kRead, target);
  if (e != RegistryError::Ok) return e;
  if (target.kind != Target::Kind::kKey) return RegistryError::NotFound;
  return target.database->ReadValue(target.path, name, type, data);
}

RegistryError SqliteRegistry::DoWriteValue(const std::string& key, const std::string& name, uint32_t type,
                                           const std::vector<uint8_t>& data) {
  if (RegistryError e = platform::CheckValueName(name); e != RegistryError::Ok) return e;
  Target target;
  RegistryError e = Locate(key, Access::kWrite, target);
  if (e != RegistryError::Ok) return e;
  // HKEY_USERS itself holds no values.
  if (target.kind != Target::Kind::kKey) return RegistryError::InvalidArgument;
  RegistryDatabase* db = target.database;
  if ((e = db->Begin()) != RegistryError::Ok) return e;
  return db->End(db->WriteValue(target.path, name, type, data));
}

bool SqliteRegistry::GetString(const std::string& key, const std::string& name, std::string& value,
                               RegistryError* error) {
  uint32_t type = 0;
  RegistryBytes data;
  RegistryError e = DoReadValue(key, name, type, data);
  if (e == RegistryError::Ok && !IsStringType(type)) e = RegistryError::WrongType;
  // Stored text that is not UTF-16 has no UTF-8 form.
  if (e == RegistryError::Ok && !platform::DecodeRegistryString(data, value)) e = RegistryError::Failed;
  if (e != RegistryError::Ok) value.clear();
  return Finish(e, error);
}

bool SqliteRegistry::SetString(const std::string& key, const std::string& name, const std::string& value,
                               RegistryError* error) {
  RegistryBytes data;
  if (!platform::EncodeRegistryString(value, data)) return Finish(RegistryError::InvalidArgument, error);
  return Finish(DoWriteValue(key, name, REG_SZ, data), error);
}

bool SqliteRegistry::SetExpandString(const std::string& key, const std::string& name, const std::string& value,
                                     RegistryError* error) {
  RegistryBytes data;
  if (!platform::EncodeRegistryString(value, data)) return Finish(RegistryError::InvalidArgument, error);
  return Finish(DoWriteValue(key, name, REG_EXPAND_SZ, data), error);
}

bool SqliteRegistry::GetBinary(const std::string& key, const std::string& name, std::vector<uint8_t>& value,
                               RegistryError* error) {
  uint32_t type = 0;
  RegistryBytes data;
  RegistryError e = DoReadValue(key, name, type, data);
  if (e == RegistryError::Ok && type != REG_BINARY) e = RegistryError::WrongType;
  if (e == RegistryError::Ok) value = std::move(data);
  return Finish(e, error);
}

bool SqliteRegistry::SetBinary(const std::string& key, const std::string& name, const std::vector<uint8_t>& value,
                               RegistryError* error) {
  return Finish(DoWriteValue(key, name, REG_BINARY, value), error);
}

bool SqliteRegistry::GetDword(const std::string& key, const std::string& name, uint32_t& value,
                              RegistryError* error) {
  uint32_t type = 0;
  RegistryBytes data;
  RegistryError e = DoReadValue(key, name, type, data);
  if (e == RegistryError::Ok) {
    if (type != REG_DWORD && !(type == REG_NONE && data.size() == sizeof(value))) {
      e = RegistryError::WrongType;
    } else if (!platform::DecodeRegistryDword(data, value)) {
      e = RegistryError::Failed;  // a DWORD of another size than 4 bytes
    }
  }
  return Finish(e, error);
}

bool SqliteRegistry::SetDword(const std::string& key, const std::string& name, uint32_t value,
                              RegistryError* error) {
  return Finish(DoWriteValue(key, name, REG_DWORD, platform::EncodeRegistryDword(value)), error);
}

bool SqliteRegistry::GetQword(const std::string& key, const std::string& name, uint64_t& value,
                              RegistryError* error) {
  uint32_t type = 0;
  RegistryBytes data;
  RegistryError e = DoReadValue(key, name, type, data);
  if (e == RegistryError::Ok) {
    if (type != REG_QWORD && !(type == REG_NONE && data.size() == sizeof(value))) {
      e = RegistryError::WrongType;
    } else if (!platform::DecodeRegistryQword(data, value)) {
      e = RegistryError::Failed;
    }
  }
  return Finish(e, error);
}

bool SqliteRegistry::SetQword(const std::string& key, const std::string& name, uint64_t value,
                              RegistryError* error) {
  return Finish(DoWriteValue(key, name, REG_QWORD, platform::EncodeRegistryQword(value)), error);
}

bool SqliteRegistry::GetMultiString(const std::string& key, const std::string& name,
                                    std::vector<std::string>& values, RegistryError* error) {
  uint32_t type = 0;
  RegistryBytes data;
  RegistryError e = DoReadValue(key, name, type, data);
  if (e == RegistryError::Ok && type != REG_MULTI_SZ) e = RegistryError::WrongType;
  if (e == RegistryError::Ok && !platform::DecodeRegistryMultiString(data, values)) e = RegistryError::Failed;
  return Finish(e, error);
}

bool SqliteRegistry::SetMultiString(const std::string& key, const std::string& name,
                                    const std::vector<std::string>& values, RegistryError* error) {
  RegistryBytes data;
  if (!platform::EncodeRegistryMultiString(values, data)) return Finish(RegistryError::InvalidArgument, error);
  return Finish(DoWriteValue(key, name, REG_MULTI_SZ, data), error);
}

bool SqliteRegistry::DeleteValue(const std::string& key, const std::string& name, RegistryError* error) {
  RegistryError e = platform::CheckValueName(name);
  Target target;
  if (e == RegistryError::Ok) e = Locate(key, Access::kWrite, target);
  if (e == RegistryError::Ok && target.kind != Target::Kind::kKey) e = RegistryError::NotFound;
  if (e == RegistryError::Ok) {
    RegistryDatabase* db = target.database;
    e = db->Begin();
    if (e == RegistryError::Ok) e = db->End(db->DeleteValue(target.path, name));
  }
  return Finish(e, error);
}

uint32_t SqliteRegistry::GetValueType(const std::string& key, const std::string& name, RegistryError* error) {
  uint32_t type = 0;
  RegistryBytes data;
  if (!Finish(DoReadValue(key, name, type, data), error)) return 0;
  return type;
}

bool SqliteRegistry::GetRawValue(const std::string& key, const std::string& name, std::vector<uint8_t>& data,
                                 uint32_t& type, RegistryError* error) {
  if (Finish(DoReadValue(key, name, type, data), error)) return true;
  data.clear();
  type = REG_NONE;
  return false;
}

bool SqliteRegistry::SetRawValue(const std::string& key, const std::string& name, const std::vector<uint8_t>& data,
                                 uint32_t type, RegistryError* error) {
  return Finish(DoWriteValue(key, name, type, data), error);
}

// ---- Copies and trees ----

RegistryError SqliteRegistry::DoCopyValue(const std::string& source_key, const std::string& source_name,
                                          const std::string& destination_key, const std::string& destination_name) {
  if (source_key.empty() || destination_key.empty()) return RegistryError::InvalidArgument;
  uint32_t type = 0;
  RegistryBytes data;
  RegistryError e = DoReadValue(source_key, source_name, type, data);
  if (e != RegistryError::Ok) return e;
  if (type == REG_NONE) return RegistryError::WrongType;
  return DoWriteValue(destination_key, destination_name, type, data);
}

bool SqliteRegistry::CopyValue(const std::string& source_key, const std::string& source_name,
                               const std::string& destination_key, const std::string& destination_name,
                               RegistryError* error) {
  return Finish(DoCopyValue(source_key, source_name, destination_key, destination_name), error);
}

RegistryError SqliteRegistry::DoCopyTree(const std::string& source, const std::string& destination) {
  RegistryError e = DoCreateKey(destination);
  if (e != RegistryError::Ok) return e;
  std::vector<std::string> names;
  if ((e = DoEnumValues(source, names)) != RegistryError::Ok) return e;
  for (const std::string& name : names) {
    if ((e = DoCopyValue(source, name, destination, name)) != RegistryError::Ok) return e;
  }
  if ((e = DoEnumSubKeys(source, names)) != RegistryError::Ok) return e;
  for (const std::string& name : names) {
    e = DoCopyTree(platform::JoinKeyPath(source, name), platform::JoinKeyPath(destination, name));
    if (e != RegistryError::Ok) return e;
  }
  return RegistryError::Ok;
}

bool SqliteRegistry::CopyKey(const std::string& source, const std::string& destination, RegistryError* error) {
  if (source.empty() || destination.empty()) return Finish(RegistryError::InvalidArgument, error);
  std::vector<std::string_view> from;
  std::vector<std::string_view> to;
  RegistryError e = platform::SplitKeyPath(source, from);
  if (e == RegistryError::Ok) e = platform::SplitKeyPath(destination, to);
  if (e != RegistryError::Ok) return Finish(e, error);
  // Names compare without regard to case, so "X" into "x\Y" is also a copy
  // into its own subtree, which would never end.
  if (platform::IsBelowKey(to, from)) return Finish(RegistryError::InvalidArgument, error);

  // The whole copy is one transaction of the destination's database: a
  // failure part-way leaves nothing behind, and within one database the
  // source cannot change under the copy.
  Target target;
  if ((e = Locate(destination, Access::kCreate, target)) != RegistryError::Ok) return Finish(e, error);
  if (target.kind != Target::Kind::kKey) return Finish(RegistryError::InvalidArgument, error);
  RegistryDatabase* db = target.database;
  if ((e = db->Begin()) != RegistryError::Ok) return Finish(e, error);
  return Finish(db->End(DoCopyTree(source, destination)), error);
}

RegistryError SqliteRegistry::DoDeleteTree(const std::string& parent, const std::string& child) {
  const std::string key = platform::JoinKeyPath(parent, child);
  std::vector<std::string> names;
  // A key whose subkeys cannot be listed is deleted as it stands (and
  // DoDeleteKey says why not, if it cannot be).
  if (DoEnumSubKeys(key, names) != RegistryError::Ok) names.clear();
  for (const std::string& name : names) {
    if (RegistryError e = DoDeleteTree(key, name); e != RegistryError::Ok) return e;
  }
  return DoDeleteKey(parent, child);
}

bool SqliteRegistry::DeleteKeyTree(const std::string& parent, const std::string& child, RegistryError* error) {
  if (child.empty() || IsHiveRoot(platform::JoinKeyPath(parent, child))) {
    return Finish(RegistryError::InvalidArgument, error);
  }
  Target target;
  RegistryError e = Locate(platform::JoinKeyPath(parent, child), Access::kWrite, target);
  if (e != RegistryError::Ok) return Finish(e, error);
  if (target.kind != Target::Kind::kKey || target.components.empty()) {
    return Finish(RegistryError::InvalidArgument, error);
  }
  RegistryDatabase* db = target.database;
  if ((e = db->Begin()) != RegistryError::Ok) return Finish(e, error);
  return Finish(db->End(DoDeleteTree(parent, child)), error);
}
