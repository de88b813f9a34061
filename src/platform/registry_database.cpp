#include "platform/registry_database.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace platform {
namespace {

constexpr const char* kSqlText[] = {
    // kFindKey
    "SELECT id, path FROM keys WHERE path = ?1",
    // kInsertKey
    "INSERT INTO keys(parent, name, path) VALUES(?1, ?2, ?3)",
    // kFirstChild
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    // kDeleteKeyValues
    "DELETE FROM vals WHERE key = ?1",
    // kDeleteKeyRow
    "DELETE FROM keys WHERE id = ?1",
    // kSubKeys: one row with a null name when the key has no subkeys, none
    // when the key does not exist.
    "SELECT p.id, c.name FROM keys p LEFT JOIN keys c ON c.parent = p.id WHERE p.path = ?1 "
    "ORDER BY c.name COLLATE NOCASE, c.name",
    // kValues
    "SELECT k.id, v.name FROM keys k LEFT JOIN vals v ON v.key = k.id WHERE k.path = ?1 ORDER BY v.id",
    // kReadValue
    "SELECT v.type, v.data FROM keys k JOIN vals v ON v.key = k.id WHERE k.path = ?1 AND v.name = ?2",
    // kWriteValue: an existing name keeps its case and its place in the order.
    "INSERT INTO vals(key, name, type, data) SELECT id, ?2, ?3, ?4 FROM keys WHERE path = ?1 "
    "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    // kDeleteValue
    "DELETE FROM vals WHERE key = (SELECT id FROM keys WHERE path = ?1) AND name = ?2",
};
static_assert(std::size(kSqlText) == 10);

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER REFERENCES keys(id),"
    " name TEXT NOT NULL,"
    " path TEXT NOT NULL COLLATE NOCASE UNIQUE);"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent);"
    "CREATE TABLE IF NOT EXISTS vals("
    " id INTEGER PRIMARY KEY,"
    " key INTEGER NOT NULL REFERENCES keys(id),"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, name));"
    "INSERT OR IGNORE INTO keys(id, parent, name, path) VALUES(1, NULL, '', '');";

constexpr int64_t kRootKey = 1;

RegistryError FromErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return RegistryError::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return RegistryError::AccessDenied;
    default:
      return RegistryError::Failed;
  }
}

// Resets a cached statement when the operation that used it ends.
class StatementScope {
 public:
  explicit StatementScope(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StatementScope() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  StatementScope(const StatementScope&) = delete;
  StatementScope& operator=(const StatementScope&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

int BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  // A null pointer would bind SQL NULL, so empty text gets a real pointer.
  return sqlite3_bind_text64(stmt, index, text.empty() ? "" : text.data(), text.size(), SQLITE_STATIC,
                             SQLITE_UTF8);
}

int BindBlob(sqlite3_stmt* stmt, int index, const RegistryBytes& data) {
  if (data.empty()) return sqlite3_bind_zeroblob(stmt, index, 0);
  return sqlite3_bind_blob64(stmt, index, data.data(), data.size(), SQLITE_STATIC);
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt, column)) : std::string();
}

// Creates the folders of `file` that are missing (0755 whatever the umask)
// and the empty file itself (`mode`); an existing file is fine.
RegistryError CreateFileAndFolders(const std::string& file, mode_t mode) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1)) {
    const std::string folder = file.substr(0, slash);
    if (::mkdir(folder.c_str(), 0755) == 0) {
      ::chmod(folder.c_str(), 0755);
    } else if (errno != EEXIST) {
      return FromErrno(errno);
    }
  }
  const int fd = ::open(file.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return errno == EEXIST ? RegistryError::Ok : FromErrno(errno);
  const bool ok = ::fchmod(fd, mode) == 0;
  ::close(fd);
  return ok ? RegistryError::Ok : RegistryError::Failed;
}

}  // namespace

RegistryError RegistryDatabase::MapError(int sqlite_code, int system_errno) {
  switch (sqlite_code) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return RegistryError::Ok;
    case SQLITE_READONLY_ROLLBACK:
    case SQLITE_READONLY_RECOVERY:
    case SQLITE_READONLY_CANTLOCK:
    case SQLITE_READONLY_DBMOVED:
      // The file is in a state only a writer can repair, or gone: not a
      // question of rights.
      return RegistryError::Failed;
    default:
      break;
  }
  switch (sqlite_code & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return RegistryError::AccessDenied;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR: {
      const RegistryError e = FromErrno(system_errno);
      if (e == RegistryError::AccessDenied) return e;
      return (sqlite_code & 0xFF) == SQLITE_CANTOPEN && e == RegistryError::NotFound ? e : RegistryError::Failed;
    }
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
      return RegistryError::InvalidArgument;
    default:
      return RegistryError::Failed;
  }
}

RegistryError RegistryDatabase::Open(const std::string& file, Mode mode, std::unique_ptr<RegistryDatabase>& database) {
  database.reset();
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    const int err = errno;
    if (err != ENOENT || (mode != Mode::kCreate && mode != Mode::kCreatePrivate)) return FromErrno(err);
    if (RegistryError e = CreateFileAndFolders(file, mode == Mode::kCreatePrivate ? 0600 : 0644);
        e != RegistryError::Ok) {
      return e;
    }
    if (::stat(file.c_str(), &st) != 0) return FromErrno(errno);
  }
  if (!S_ISREG(st.st_mode)) return RegistryError::Failed;
  if (::faccessat(AT_FDCWD, file.c_str(), R_OK, AT_EACCESS) != 0) return FromErrno(errno);
  const bool writable = ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0;
  if (!writable && mode != Mode::kRead) return RegistryError::AccessDenied;

  // The file exists by now; SQLite must never create one itself, or a read
  // racing a deletion would leave an empty database behind.
  const int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX |
                    SQLITE_OPEN_EXRESCODE;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const RegistryError e = MapError(rc, db ? sqlite3_system_errno(db) : 0);
    sqlite3_close_v2(db);
    return e;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  std::unique_ptr<RegistryDatabase> opened(new RegistryDatabase(file, db, writable, st.st_dev, st.st_ino));
  if (RegistryError e = opened->CheckSchema(mode); e != RegistryError::Ok) return e;
  database = std::move(opened);
  return RegistryError::Ok;
}

RegistryDatabase::RegistryDatabase(std::string file, sqlite3* db, bool writable, dev_t device, ino_t inode)
    : file_(std::move(file)), db_(db), writable_(writable), device_(device), inode_(inode) {}

RegistryDatabase::~RegistryDatabase() {
  if (depth_ > 0) Exec("ROLLBACK");
  for (sqlite3_stmt* stmt : statements_) sqlite3_finalize(stmt);
  sqlite3_close_v2(db_);
}

bool RegistryDatabase::IsCurrent() const {
  struct stat st;
  return ::stat(file_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
}

RegistryError RegistryDatabase::Error(int code) const { return MapError(code, sqlite3_system_errno(db_)); }

RegistryError RegistryDatabase::Exec(const char* sql) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? RegistryError::Ok : Error(rc);
}

// A file of ours carries our application id and a schema version we know. An
// empty file (just created, by us or by a process that has not yet written
// the schema) gets the schema when it may be written, and is no hive yet
// otherwise.
RegistryError RegistryDatabase::CheckSchema(Mode mode) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_,
                              "SELECT (SELECT count(*) FROM sqlite_master), "
                              "(SELECT application_id FROM pragma_application_id), "
                              "(SELECT user_version FROM pragma_user_version)",
                              -1, &stmt, nullptr);
  if (rc != SQLITE_OK) return Error(rc);
  rc = sqlite3_step(stmt);
  const int64_t objects = sqlite3_column_int64(stmt, 0);
  const int64_t application_id = sqlite3_column_int64(stmt, 1);
  const int64_t version = sqlite3_column_int64(stmt, 2);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW) return Error(rc);
  if (objects > 0) {
    return application_id == kApplicationId && version >= 1 && version <= kSchemaVersion ? RegistryError::Ok
                                                                                         : RegistryError::Failed;
  }
  if (mode == Mode::kRead) return RegistryError::NotFound;
  if (RegistryError e = Begin(); e != RegistryError::Ok) return e;
  RegistryError e = Exec(kSchema);
  if (e == RegistryError::Ok) {
    e = Exec(("PRAGMA application_id = " + std::to_string(kApplicationId) +
              "; PRAGMA user_version = " + std::to_string(kSchemaVersion))
                 .c_str());
  }
  return End(e);
}

RegistryError RegistryDatabase::EraseDeletedContent() { return Exec("PRAGMA secure_delete = ON"); }

RegistryError RegistryDatabase::Begin() {
  if (depth_++ > 0) return RegistryError::Ok;
  const RegistryError e = Exec("BEGIN IMMEDIATE");
  if (e != RegistryError::Ok) depth_ = 0;
  return e;
}

RegistryError RegistryDatabase::End(RegistryError result) {
  if (depth_ == 0 || --depth_ > 0) return result;
  if (result == RegistryError::Ok) {
    result = Exec("COMMIT");
    if (result == RegistryError::Ok) return result;
  }
  // A failed disk write may already have rolled the transaction back.
  if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
  return result;
}

sqlite3_stmt* RegistryDatabase::Statement(Sql sql, RegistryError& error) {
  if (!statements_[sql]) {
    const int rc = sqlite3_prepare_v3(db_, kSqlText[sql], -1, SQLITE_PREPARE_PERSISTENT, &statements_[sql], nullptr);
    if (rc != SQLITE_OK) {
      error = Error(rc);
      sqlite3_finalize(statements_[sql]);
      statements_[sql] = nullptr;
      return nullptr;
    }
  }
  error = RegistryError::Ok;
  return statements_[sql];
}

RegistryError RegistryDatabase::FindKey(std::string_view path, int64_t& id, std::string& stored_path) {
  RegistryError e = RegistryError::Ok;
  sqlite3_stmt* stmt = Statement(kFindKey, e);
  if (!stmt) return e;
  StatementScope scope(stmt);
  BindText(stmt, 1, path);
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return RegistryError::NotFound;
  if (rc != SQLITE_ROW) return Error(rc);
  id = sqlite3_column_int64(stmt, 0);
  stored_path = ColumnText(stmt, 1);
  return RegistryError::Ok;
}

RegistryError RegistryDatabase::KeyExists(std::string_view path) {
  int64_t id;
  std::string stored;
  return FindKey(path, id, stored);
}

RegistryError RegistryDatabase::ListSubKeys(std::string_view path, std::vector<std::string>& names) {
  return ListNames(kSubKeys, path, names);
}

RegistryError RegistryDatabase::ListValues(std::string_view path, std::vector<std::string>& names) {
  return ListNames(kValues, path, names);
}

// The statement yields one row per key found, its second column a name or
// NULL for a key that has none: a key without sub-keys or values is found
// but lists nothing.
RegistryError RegistryDatabase::ListNames(Sql sql, std::string_view path, std::vector<std::string>& names) {
  names.clear();
  RegistryError e = RegistryError::Ok;
  sqlite3_stmt* stmt = Statement(sql, e);
  if (!stmt) return e;
  StatementScope scope(stmt);
  BindText(stmt, 1, path);
  bool found = false;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    found = true;
    if (sqlite3_column_type(stmt, 1) != SQLITE_NULL) names.push_back(ColumnText(stmt, 1));
  }
  if (rc != SQLITE_DONE) {
    names.clear();
    return Error(rc);
  }
  return found ? RegistryError::Ok : RegistryError::NotFound;
}

RegistryError RegistryDatabase::ReadValue(std::string_view path, std::string_view name, uint32_t& type,
                                          RegistryBytes& data) {
  RegistryError e = RegistryError::Ok;
  sqlite3_stmt* stmt = Statement(kReadValue, e);
  if (!stmt) return e;
  StatementScope scope(stmt);
  BindText(stmt, 1, path);
  BindText(stmt, 2, name);
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return RegistryError::NotFound;
  if (rc != SQLITE_ROW) return Error(rc);
  const int64_t stored_type = sqlite3_column_int64(stmt, 0);
  if (stored_type < 0 || stored_type > UINT32_MAX || sqlite3_column_type(stmt, 1) != SQLITE_BLOB) {
    return RegistryError::Failed;
  }
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 1));
  const int size = sqlite3_column_bytes(stmt, 1);
  type = static_cast<uint32_t>(stored_type);
  data.assign(bytes, bytes + size);
  return RegistryError::Ok;
}

RegistryError RegistryDatabase::CreateKey(const std::vector<std::string_view>& components) {
  int64_t parent = kRootKey;
  std::string path;
  for (std::string_view component : components) {
    std::string child_path = path.empty() ? std::string(component) : path + '\\' + std::string(component);
    int64_t id;
    std::string stored;
    RegistryError e = FindKey(child_path, id, stored);
    if (e == RegistryError::Ok) {
      parent = id;
      path = std::move(stored);
      continue;
    }
    if (e != RegistryError::NotFound) return e;
    sqlite3_stmt* stmt = Statement(kInsertKey, e);
    if (!stmt) return e;
    StatementScope scope(stmt);
    sqlite3_bind_int64(stmt, 1, parent);
    BindText(stmt, 2, component);
    BindText(stmt, 3, child_path);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) return Error(rc);
    parent = sqlite3_last_insert_rowid(db_);
    path = std::move(child_path);
  }
  return RegistryError::Ok;
}

RegistryError RegistryDatabase::DeleteKey(std::string_view path) {
  int64_t id;
  std::string stored;
  RegistryError e = FindKey(path, id, stored);
  if (e != RegistryError::Ok) return e;
  if (id == kRootKey) return RegistryError::InvalidArgument;
  {
    sqlite3_stmt* stmt = Statement(kFirstChild, e);
    if (!stmt) return e;
    StatementScope scope(stmt);
    sqlite3_bind_int64(stmt, 1, id);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) return RegistryError::Failed;  // still has subkeys
    if (rc != SQLITE_DONE) return Error(rc);
  }
  for (Sql sql : {kDeleteKeyValues, kDeleteKeyRow}) {
    sqlite3_stmt* stmt = Statement(sql, e);
    if (!stmt) return e;
    StatementScope scope(stmt);
    sqlite3_bind_int64(stmt, 1, id);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) return Error(rc);
  }
  return RegistryError::Ok;
}

RegistryError RegistryDatabase::WriteValue(std::string_view path, std::string_view name, uint32_t type,
                                           const RegistryBytes& data) {
  RegistryError e = RegistryError::Ok;
  sqlite3_stmt* stmt = Statement(kWriteValue, e);
  if (!stmt) return e;
  StatementScope scope(stmt);
  BindText(stmt, 1, path);
  BindText(stmt, 2, name);
  sqlite3_bind_int64(stmt, 3, type);
  if (const int rc = BindBlob(stmt, 4, data); rc != SQLITE_OK) return Error(rc);
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) return Error(rc);
  return sqlite3_changes(db_) > 0 ? RegistryError::Ok : RegistryError::NotFound;
}

RegistryError RegistryDatabase::DeleteValue(std::string_view path, std::string_view name) {
  RegistryError e = RegistryError::Ok;
  sqlite3_stmt* stmt = Statement(kDeleteValue, e);
  if (!stmt) return e;
  StatementScope scope(stmt);
  BindText(stmt, 1, path);
  BindText(stmt, 2, name);
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) return Error(rc);
  return sqlite3_changes(db_) > 0 ? RegistryError::Ok : RegistryError::NotFound;
}

}  // namespace platform
