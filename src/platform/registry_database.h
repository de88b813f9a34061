// One registry hive stored in an SQLite file: its keys with their paths and
// its typed values. SqliteRegistry routes every operation to one of these.
//
// Tables: keys(id, parent, name, path) with the full path of every key in the
// case it was created with, unique without regard to ASCII case, so that a key
// is found by one indexed look-up; vals(id, key, name, type, data), unique per
// key and name, whose ids keep the order in which values were first written.
// Key 1 is the hive's root, with the empty path.
//
// Every read is one statement, so it sees one consistent state even while
// other processes write. Writes go between Begin and End, which take the
// database's write lock at once (BEGIN IMMEDIATE) and wait for it up to the
// busy time-out.
//
// Not thread-safe: owned and used by one SqliteRegistry.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_value_format.h"

namespace platform {

class RegistryDatabase {
 public:
  enum class Mode {
    kRead,    // an existing file; opened read-only when this process may not write it
    kWrite,   // an existing file that this process may write
    kCreate,  // as kWrite, creating the file (0644) and its folders (0755) when missing
    kCreatePrivate,  // as kCreate, but a new file is readable by its owner only (0600)
  };

  // How long a write waits for another writer or a committing reader.
  static constexpr int kBusyTimeoutMs = 5000;
  // "HVRG" in the database header marks our files.
  static constexpr int32_t kApplicationId = 0x48565247;
  static constexpr int32_t kSchemaVersion = 1;

  // Opens `file`. NotFound when it is missing (kRead, kWrite) or holds no
  // hive yet (kRead); AccessDenied when the permissions forbid the access;
  // Failed for anything that is not a hive of ours.
  static RegistryError Open(const std::string& file, Mode mode, std::unique_ptr<RegistryDatabase>& database);

  // The code for an SQLite result and the errno it saw.
  static RegistryError MapError(int sqlite_code, int system_errno);

  ~RegistryDatabase();
  RegistryDatabase(const RegistryDatabase&) = delete;
  RegistryDatabase& operator=(const RegistryDatabase&) = delete;

  const std::string& file() const { return file_; }
  bool writable() const { return writable_; }
  bool in_transaction() const { return depth_ > 0; }
  // True while the path still names the file that was opened (not deleted or
  // replaced by another process).
  bool IsCurrent() const;

  // Nested Begin/End pairs share the outermost transaction, which commits
  // when it ends with Ok and rolls back otherwise. End returns `result`, or
  // the failure of the commit.
  RegistryError Begin();
  RegistryError End(RegistryError result);

  // `path` is a key path as SplitKeyPath accepts it, without a trailing
  // backslash; the empty path is the hive's root.
  RegistryError KeyExists(std::string_view path);
  RegistryError ListSubKeys(std::string_view path, std::vector<std::string>& names);
  RegistryError ListValues(std::string_view path, std::vector<std::string>& names);
  RegistryError ReadValue(std::string_view path, std::string_view name, uint32_t& type, RegistryBytes& data);

  // From now on, deleted content is overwritten in the file instead of
  // lingering in free pages (for secrets moved out of a readable file).
  RegistryError EraseDeletedContent();

  // Writes; each must run between Begin and End.
  // Creates the key and every missing key above it.
  RegistryError CreateKey(const std::vector<std::string_view>& components);
  // Deletes a key and its values; Failed while it has subkeys, InvalidArgument
  // for the root.
  RegistryError DeleteKey(std::string_view path);
  // Writes a value of an existing key; NotFound for a missing key.
  RegistryError WriteValue(std::string_view path, std::string_view name, uint32_t type, const RegistryBytes& data);
  RegistryError DeleteValue(std::string_view path, std::string_view name);

 private:
  enum Sql : size_t {
    kFindKey,
    kInsertKey,
    kFirstChild,
    kDeleteKeyValues,
    kDeleteKeyRow,
    kSubKeys,
    kValues,
    kReadValue,
    kWriteValue,
    kDeleteValue,
    kSqlCount,
  };

  RegistryDatabase(std::string file, sqlite3* db, bool writable, dev_t device, ino_t inode);
  RegistryError CheckSchema(Mode mode);
  RegistryError Exec(const char* sql);
  RegistryError Error(int code) const;
  // The cached statement for `sql`, prepared on first use; null on failure
  // (`error` says why).
  sqlite3_stmt* Statement(Sql sql, RegistryError& error);
  RegistryError FindKey(std::string_view path, int64_t& id, std::string& stored_path);
  RegistryError ListNames(Sql sql, std::string_view path, std::vector<std::string>& names);

  std::string file_;
  sqlite3* db_;
  bool writable_;
  dev_t device_;
  ino_t inode_;
  int depth_ = 0;
  std::array<sqlite3_stmt*, kSqlCount> statements_{};
};

}  // namespace platform
