#include "settings_database.h"

#include <sqlite3.h>

#include "crypto_text.h"

namespace settings_server {
namespace {

using json = nlohmann::json;

constexpr const char* kSchemaSql = R"sql(
PRAGMA journal_mode = WAL;
PRAGMA synchronous = FULL;
CREATE TABLE IF NOT EXISTS machines(
  name TEXT PRIMARY KEY, secret_hash TEXT NOT NULL UNIQUE, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS clients(
  machine TEXT NOT NULL, sid TEXT NOT NULL, pns_id TEXT NOT NULL,
  reported_pns_id TEXT NOT NULL DEFAULT '', disabled INTEGER NOT NULL DEFAULT 0,
  last_request INTEGER NOT NULL DEFAULT 0, last_address TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(machine, sid));
CREATE TABLE IF NOT EXISTS tokens(
  hash TEXT PRIMARY KEY, machine TEXT NOT NULL, sid TEXT NOT NULL, expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS products(name TEXT PRIMARY KEY, schema TEXT NOT NULL, vals TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS client_values(
  machine TEXT NOT NULL, sid TEXT NOT NULL, product TEXT NOT NULL, vals TEXT NOT NULL,
  PRIMARY KEY(machine, sid, product));
)sql";

// A prepared statement that finalises itself.
class Query {
 public:
  Query(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Query() { sqlite3_finalize(stmt_); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  bool Step() { return sqlite3_step(stmt_) == SQLITE_ROW; }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  sqlite3_stmt* get() { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

json ParseStored(const std::string& text, bool& ok) {
  json value = json::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) {
    ok = false;
    return json::object();
  }
  return value;
}

}  // namespace

std::unique_ptr<SettingsDatabase> SettingsDatabase::Open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return nullptr;
  }
  // A second process (an administrator's sqlite3 shell) may hold the file briefly.
  sqlite3_busy_timeout(db, 5000);
  std::unique_ptr<SettingsDatabase> database(new SettingsDatabase(db));
  char* message = nullptr;
  if (sqlite3_exec(db, kSchemaSql, nullptr, nullptr, &message) != SQLITE_OK) {
    error = message != nullptr ? message : "cannot create the tables";
    sqlite3_free(message);
    return nullptr;
  }
  if (!database->Load(error)) return nullptr;
  return database;
}

SettingsDatabase::SettingsDatabase(sqlite3* db) : db_(db) {}

SettingsDatabase::~SettingsDatabase() {
  FlushActivity();
  sqlite3_close(db_);
}

bool SettingsDatabase::Load(std::string& error) {
  // Nobody else sees the database yet; taking the lock keeps every use of the maps under it.
  platform::WriterLock lock(mutex_);
  bool ok = true;
  {
    Query q(db_, "SELECT name, secret_hash, created FROM machines");
    while (q.Step()) {
      MachineRecord m{q.Text(0), q.Text(1), q.Int(2)};
      secretToMachine_[m.secretHash] = m.name;
      machines_[m.name] = m;
    }
  }
  {
    Query q(db_, "SELECT machine, sid, pns_id, reported_pns_id, disabled, last_request, last_address FROM clients");
    while (q.Step()) {
      ClientRecord c{{q.Text(0), q.Text(1)}, q.Text(2), q.Text(3), q.Int(4) != 0, q.Int(5), q.Text(6)};
      clients_[c.key] = c;
    }
  }
  {
    Query q(db_, "SELECT hash, machine, sid, expires FROM tokens");
    while (q.Step()) tokens_[q.Text(0)] = TokenRecord{{q.Text(1), q.Text(2)}, q.Int(3)};
  }
  {
    Query q(db_, "SELECT name, schema, vals FROM products");
    while (q.Step()) products_[q.Text(0)] = ProductRecord{ParseStored(q.Text(1), ok), ParseStored(q.Text(2), ok)};
  }
  {
    Query q(db_, "SELECT machine, sid, product, vals FROM client_values");
    while (q.Step()) overrides_[{ClientKey{q.Text(0), q.Text(1)}, q.Text(2)}] = ParseStored(q.Text(3), ok);
  }
  if (!ok) error = "the database holds a document that is not a JSON object";
  return ok;
}

bool SettingsDatabase::TransactionLocked(const std::vector<Statement>& statements) {
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  bool ok = true;
  for (const Statement& s : statements) {
    Query q(db_, s.sql.c_str());
    ok = q.ok();
    for (size_t i = 0; ok && i < s.arguments.size(); ++i) {
      const int index = static_cast<int>(i + 1);
      if (const auto* text = std::get_if<std::string>(&s.arguments[i])) {
        ok = sqlite3_bind_text(q.get(), index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT) ==
             SQLITE_OK;
      } else {
        ok = sqlite3_bind_int64(q.get(), index, std::get<int64_t>(s.arguments[i])) == SQLITE_OK;
      }
    }
    if (ok) ok = sqlite3_step(q.get()) == SQLITE_DONE;
    if (!ok) break;
  }
  if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

DbResult SettingsDatabase::AddMachine(const MachineRecord& machine) {
  platform::WriterLock lock(mutex_);
  if (machines_.contains(machine.name) || secretToMachine_.contains(machine.secretHash)) return DbResult::kExists;
  if (!TransactionLocked({{"INSERT INTO machines(name, secret_hash, created) VALUES(?1, ?2, ?3)",
                     {machine.name, machine.secretHash, machine.created}}}))
    return DbResult::kFailed;
  machines_[machine.name] = machine;
  secretToMachine_[machine.secretHash] = machine.name;
  return DbResult::kOk;
}

DbResult SettingsDatabase::RemoveMachine(const std::string& name) {
  platform::WriterLock lock(mutex_);
  auto it = machines_.find(name);
  if (it == machines_.end()) return DbResult::kNotFound;
  if (!TransactionLocked({{"DELETE FROM machines WHERE name = ?1", {name}},
                    {"DELETE FROM clients WHERE machine = ?1", {name}},
                    {"DELETE FROM tokens WHERE machine = ?1", {name}},
                    {"DELETE FROM client_values WHERE machine = ?1", {name}}}))
    return DbResult::kFailed;
  secretToMachine_.erase(it->second.secretHash);
  machines_.erase(it);
  std::erase_if(clients_, [&](const auto& e) { return e.first.machine == name; });
  std::erase_if(tokens_, [&](const auto& e) { return e.second.key.machine == name; });
  std::erase_if(overrides_, [&](const auto& e) { return e.first.first.machine == name; });
  return DbResult::kOk;
}

std::vector<MachineRecord> SettingsDatabase::Machines() const {
  platform::ReaderLock lock(mutex_);
  std::vector<MachineRecord> result;
  for (const auto& [name, m] : machines_) result.push_back(m);
  return result;
}

std::optional<std::string> SettingsDatabase::MachineForSecretHash(const std::string& secretHash) const {
  platform::ReaderLock lock(mutex_);
  auto it = secretToMachine_.find(secretHash);
  if (it == secretToMachine_.end()) return std::nullopt;
  return it->second;
}

DbResult SettingsDatabase::EnsureClient(const ClientKey& key, ClientRecord& record) {
  platform::WriterLock lock(mutex_);
  if (!machines_.contains(key.machine)) return DbResult::kNotFound;
  if (auto it = clients_.find(key); it != clients_.end()) {
    record = it->second;
    return DbResult::kOk;
  }
  ClientRecord fresh{key, RandomText(24), "", false, 0, ""};
  if (fresh.pnsId.empty() ||
      !TransactionLocked({{"INSERT INTO clients(machine, sid, pns_id) VALUES(?1, ?2, ?3)", {key.machine, key.sid, fresh.pnsId}}}))
    return DbResult::kFailed;
  record = clients_[key] = fresh;
  return DbResult::kOk;
}

std::optional<ClientRecord> SettingsDatabase::FindClient(const ClientKey& key) const {
  std::optional<ClientRecord> result;
  {
    platform::ReaderLock lock(mutex_);
    auto it = clients_.find(key);
    if (it == clients_.end()) return std::nullopt;
    result = it->second;
  }
  platform::MutexLock activityLock(activityMutex_);
  if (auto a = activity_.find(key); a != activity_.end()) {
    result->lastRequest = a->second.time;
    result->lastAddress = a->second.address;
  }
  return result;
}

DbResult SettingsDatabase::SetClientDisabled(const ClientKey& key, bool disabled) {
  platform::WriterLock lock(mutex_);
  auto it = clients_.find(key);
  if (it == clients_.end()) return DbResult::kNotFound;
  if (it->second.disabled == disabled) return DbResult::kOk;
  if (!TransactionLocked({{"UPDATE clients SET disabled = ?3 WHERE machine = ?1 AND sid = ?2",
                     {key.machine, key.sid, int64_t{disabled ? 1 : 0}}}}))
    return DbResult::kFailed;
  it->second.disabled = disabled;
  return DbResult::kOk;
}

DbResult SettingsDatabase::SetReportedPnsId(const ClientKey& key, const std::string& pnsId) {
  platform::WriterLock lock(mutex_);
  auto it = clients_.find(key);
  if (it == clients_.end()) return DbResult::kNotFound;
  if (it->second.reportedPnsId == pnsId) return DbResult::kOk;
  if (!TransactionLocked({{"UPDATE clients SET reported_pns_id = ?3 WHERE machine = ?1 AND sid = ?2",
                     {key.machine, key.sid, pnsId}}}))
    return DbResult::kFailed;
  it->second.reportedPnsId = pnsId;
  return DbResult::kOk;
}

void SettingsDatabase::NoteRequest(const ClientKey& key, int64_t now, const std::string& address) {
  platform::MutexLock lock(activityMutex_);
  activity_[key] = Activity{now, address, true};
}

std::vector<ClientRecord> SettingsDatabase::Clients() const {
  std::vector<ClientRecord> result;
  {
    platform::ReaderLock lock(mutex_);
    for (const auto& [key, c] : clients_) result.push_back(c);
  }
  platform::MutexLock lock(activityMutex_);
  for (ClientRecord& c : result) {
    if (auto a = activity_.find(c.key); a != activity_.end()) {
      c.lastRequest = a->second.time;
      c.lastAddress = a->second.address;
    }
  }
  return result;
}

void SettingsDatabase::FlushActivity() {
  std::vector<Statement> updates;
  {
    platform::MutexLock lock(activityMutex_);
    for (auto& [key, a] : activity_) {
      if (!a.dirty) continue;
      updates.push_back({"UPDATE clients SET last_request = ?3, last_address = ?4 WHERE machine = ?1 AND sid = ?2",
                         {key.machine, key.sid, a.time, a.address}});
      a.dirty = false;
    }
  }
  if (updates.empty()) return;
  platform::WriterLock lock(mutex_);
  TransactionLocked(updates);
}

DbResult SettingsDatabase::AddToken(const std::string& tokenHash, const ClientKey& key, int64_t expires, int64_t now) {
  platform::WriterLock lock(mutex_);
  if (!clients_.contains(key)) return DbResult::kNotFound;
  if (!TransactionLocked({{"DELETE FROM tokens WHERE expires < ?1", {now}},
                    {"INSERT INTO tokens(hash, machine, sid, expires) VALUES(?1, ?2, ?3, ?4)",
                     {tokenHash, key.machine, key.sid, expires}}}))
    return DbResult::kFailed;
  std::erase_if(tokens_, [&](const auto& e) { return e.second.expires < now; });
  tokens_[tokenHash] = TokenRecord{key, expires};
  return DbResult::kOk;
}

std::optional<SettingsDatabase::TokenRecord> SettingsDatabase::FindToken(const std::string& tokenHash) const {
  platform::ReaderLock lock(mutex_);
  auto it = tokens_.find(tokenHash);
  if (it == tokens_.end()) return std::nullopt;
  return it->second;
}

DbResult SettingsDatabase::PutProduct(const std::string& name, const ProductRecord& product) {
  platform::WriterLock lock(mutex_);
  if (!TransactionLocked({{"INSERT INTO products(name, schema, vals) VALUES(?1, ?2, ?3) "
                     "ON CONFLICT(name) DO UPDATE SET schema = excluded.schema, vals = excluded.vals",
                     {name, product.schema.dump(), product.values.dump()}}}))
    return DbResult::kFailed;
  products_[name] = product;
  return DbResult::kOk;
}

std::optional<ProductRecord> SettingsDatabase::FindProduct(const std::string& name) const {
  platform::ReaderLock lock(mutex_);
  auto it = products_.find(name);
  if (it == products_.end()) return std::nullopt;
  return it->second;
}

DbResult SettingsDatabase::RemoveProduct(const std::string& name) {
  platform::WriterLock lock(mutex_);
  if (!products_.contains(name)) return DbResult::kNotFound;
  if (!TransactionLocked({{"DELETE FROM products WHERE name = ?1", {name}},
                    {"DELETE FROM client_values WHERE product = ?1", {name}}}))
    return DbResult::kFailed;
  products_.erase(name);
  std::erase_if(overrides_, [&](const auto& e) { return e.first.second == name; });
  return DbResult::kOk;
}

std::vector<std::string> SettingsDatabase::Products() const {
  platform::ReaderLock lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [name, p] : products_) names.push_back(name);
  return names;
}

json SettingsDatabase::Overrides(const ClientKey& key, const std::string& product) const {
  platform::ReaderLock lock(mutex_);
  auto it = overrides_.find({key, product});
  return it != overrides_.end() ? it->second : json::object();
}

std::vector<std::string> SettingsDatabase::ProductsOfClient(const ClientKey& key) const {
  platform::ReaderLock lock(mutex_);
  std::vector<std::string> result;
  for (auto it = overrides_.lower_bound({key, ""}); it != overrides_.end() && it->first.first == key; ++it)
    result.push_back(it->first.second);
  return result;
}

std::vector<ClientKey> SettingsDatabase::ClientsOfProduct(const std::string& product) const {
  platform::ReaderLock lock(mutex_);
  std::vector<ClientKey> result;
  for (const auto& [k, v] : overrides_)
    if (k.second == product) result.push_back(k.first);
  return result;
}

DbResult SettingsDatabase::NoteProductUse(const ClientKey& key, const std::string& product) {
  {
    platform::ReaderLock lock(mutex_);
    if (overrides_.contains({key, product})) return DbResult::kOk;
  }
  return EditOverrides(key, product, [](const ProductRecord&, json&) { return true; });
}

DbResult SettingsDatabase::EditOverrides(const ClientKey& key, const std::string& product,
                                         const OverridesEditor& edit) {
  platform::WriterLock lock(mutex_);
  auto p = products_.find(product);
  if (p == products_.end() || !clients_.contains(key)) return DbResult::kNotFound;
  auto existing = overrides_.find({key, product});
  json values = existing != overrides_.end() ? existing->second : json::object();
  if (!edit(p->second, values)) return DbResult::kOk;
  if (existing != overrides_.end() && existing->second == values) return DbResult::kOk;
  if (!TransactionLocked({{"INSERT INTO client_values(machine, sid, product, vals) VALUES(?1, ?2, ?3, ?4) "
                     "ON CONFLICT(machine, sid, product) DO UPDATE SET vals = excluded.vals",
                     {key.machine, key.sid, product, values.dump()}}}))
    return DbResult::kFailed;
  overrides_[{key, product}] = std::move(values);
  return DbResult::kOk;
}

}  // namespace settings_server
