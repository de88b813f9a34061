// The settings server's state: machines and their enrolment secrets, clients
// (one per machine and user SID), bearer tokens, products (schema and default
// values) and each client's own values per product.
//
// Everything lives in one SQLite file. A change is written in one
// transaction, committed (synchronous=FULL) before the copy in memory changes
// and before the caller answers, so a process killed at any moment loses
// nothing that was acknowledged. Reads come from the copy in memory. Only the
// time and address of each client's last request are kept in memory first and
// written by FlushActivity (every half minute and at stop): they are a
// display, not data a client relies on.
//
// Thread-safe: every operation may be called from any thread. One
// shared_mutex guards the copy in memory and the connection; the activity map
// has its own mutex, never held while the main one is taken.
#pragma once

#include <nlohmann/json.hpp>

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "platform/mutex.h"

struct sqlite3;

namespace settings_server {

// A client is one user (SID) on one machine.
struct ClientKey {
  std::string machine;
  std::string sid;
  auto operator<=>(const ClientKey&) const = default;
  std::string Text() const { return machine + "/" + sid; }
};

struct MachineRecord {
  std::string name;
  std::string secretHash;  // SHA-256 of the enrolment secret, hex
  int64_t created = 0;     // seconds since 1970
};

struct ClientRecord {
  ClientKey key;
  std::string pnsId;          // assigned by the server, stable across reconnects
  std::string reportedPnsId;  // what the client last reported through /node
  bool disabled = false;
  int64_t lastRequest = 0;  // seconds since 1970; 0 = never
  std::string lastAddress;
};

struct ProductRecord {
  nlohmann::json schema = nlohmann::json::object();  // the "eff_schema" served to clients
  nlohmann::json values = nlohmann::json::object();  // default values of every client
};

enum class DbResult { kOk, kNotFound, kExists, kFailed };

class SettingsDatabase {
 public:
  // Opens or creates the database file; null with `error` set on failure.
  static std::unique_ptr<SettingsDatabase> Open(const std::string& path, std::string& error);
  ~SettingsDatabase();
  SettingsDatabase(const SettingsDatabase&) = delete;
  SettingsDatabase& operator=(const SettingsDatabase&) = delete;

  DbResult AddMachine(const MachineRecord& machine);
  // Removes the machine with its clients, tokens and client values.
  DbResult RemoveMachine(const std::string& name);
  std::vector<MachineRecord> Machines() const;
  std::optional<std::string> MachineForSecretHash(const std::string& secretHash) const;

  // The client's record, created (with a fresh pns id) when it is new; the
  // machine must exist.
  DbResult EnsureClient(const ClientKey& key, ClientRecord& record);
  std::optional<ClientRecord> FindClient(const ClientKey& key) const;
  DbResult SetClientDisabled(const ClientKey& key, bool disabled);
  DbResult SetReportedPnsId(const ClientKey& key, const std::string& pnsId);
  // Remembers the client's last request (memory only until FlushActivity).
  void NoteRequest(const ClientKey& key, int64_t now, const std::string& address);
  std::vector<ClientRecord> Clients() const;
  void FlushActivity();

  // Stores a token (by hash) and drops the tokens that expired before `now`.
  DbResult AddToken(const std::string& tokenHash, const ClientKey& key, int64_t expires, int64_t now);
  struct TokenRecord {
    ClientKey key;
    int64_t expires = 0;
  };
  std::optional<TokenRecord> FindToken(const std::string& tokenHash) const;

  // Creates or replaces a product.
  DbResult PutProduct(const std::string& name, const ProductRecord& product);
  std::optional<ProductRecord> FindProduct(const std::string& name) const;
  DbResult RemoveProduct(const std::string& name);
  std::vector<std::string> Products() const;

  // A client's own values for a product ({} when it has none), the products
  // it has used, and the clients that use a product.
  nlohmann::json Overrides(const ClientKey& key, const std::string& product) const;
  std::vector<std::string> ProductsOfClient(const ClientKey& key) const;
  std::vector<ClientKey> ClientsOfProduct(const std::string& product) const;
  // Records that the client uses the product (so that a change of the
  // product reaches it); no write when it is known already.
  DbResult NoteProductUse(const ClientKey& key, const std::string& product);

  // Reads the product and the client's values and lets `edit` change the
  // values, all under the write lock, so that a compare (of a tag) and the
  // change cannot be interleaved with another change. `edit` returns true to
  // store its change. kNotFound when the client or product does not exist.
  using OverridesEditor = std::function<bool(const ProductRecord& product, nlohmann::json& overrides)>;
  DbResult EditOverrides(const ClientKey& key, const std::string& product, const OverridesEditor& edit);

 private:
  explicit SettingsDatabase(sqlite3* db);
  bool Load(std::string& error) EXCLUDES(mutex_);
  // Runs `statements` (each a SQL text with its bound texts) in one
  // IMMEDIATE transaction; false (and rolled back) when any fails.
  struct Statement {
    std::string sql;
    std::vector<std::variant<std::string, int64_t>> arguments;  // bound as ?1, ?2, ...
  };
  bool TransactionLocked(const std::vector<Statement>& statements) REQUIRES(mutex_);

  sqlite3* const db_ PT_GUARDED_BY(mutex_);
  mutable platform::SharedMutex mutex_;  // guards db_ and every member below
  std::map<std::string, MachineRecord> machines_ GUARDED_BY(mutex_);
  std::map<std::string, std::string> secretToMachine_ GUARDED_BY(mutex_);
  std::map<ClientKey, ClientRecord> clients_ GUARDED_BY(mutex_);
  std::map<std::string, TokenRecord> tokens_ GUARDED_BY(mutex_);
  std::map<std::string, ProductRecord> products_ GUARDED_BY(mutex_);
  std::map<std::pair<ClientKey, std::string>, nlohmann::json> overrides_ GUARDED_BY(mutex_);

  mutable platform::Mutex activityMutex_;  // guards activity_; never held while taking mutex_
  struct Activity {
    int64_t time = 0;
    std::string address;
    bool dirty = false;
  };
  std::map<ClientKey, Activity> activity_ GUARDED_BY(activityMutex_);
};

}  // namespace settings_server
