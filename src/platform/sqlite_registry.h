// The registry stored in SQLite databases, one per root:
//
//   <dir>/HKLM.db          HKEY_LOCAL_MACHINE
//   <dir>/HKU/<SID>.db     one user's hive: HKEY_USERS\<SID>, and HKEY_CURRENT_USER
//                          for the process whose effective uid maps to <SID>
//
//   <dir>/protected/HKLM.db   the protected keys of HKEY_LOCAL_MACHINE
//
// Protected keys hold secrets (bearer tokens, the enrolment secret): they and
// everything below them live in a second machine database, 0600 in a 0700
// folder, so only its owner (root) reaches them and every other user gets
// AccessDenied; the rest of the machine hive stays readable by everyone. The
// split is invisible to callers: the same paths, and a protected key shows in
// its parent's subkeys to whoever may read it. Protected keys found in the
// readable database (written before the split existed) are moved into the
// protected one when root first opens the machine hive.
//
// <dir> is the directory given to the constructor, by default
// $HALVERN_REGISTRY_DIR, else /var/lib/halvern/registry. Reads never create a
// database: a missing file is NotFound. The first write that creates a key
// creates the database (mode 0644) and its directories (mode 0755), so the
// machine hive is writable by its owner only. A database opened by someone
// who may not write it is opened read-only and writes give AccessDenied; a
// file that may not be read is AccessDenied; a corrupt or foreign file is
// Failed. Writes run in IMMEDIATE transactions with a busy time-out, so
// several processes may read and write at once.
//
// An instance keeps the connections it opened (checked against the file on
// every use, so a replaced or deleted database is reopened) until it is
// destroyed. Not thread-safe: one instance per thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform {
class RegistryDatabase;
}  // namespace platform

class SqliteRegistry : public Registry {
 public:
  // The default registry directory ($HALVERN_REGISTRY_DIR, else
  // /var/lib/halvern/registry).
  static std::string DefaultDirectory();

  // The protected keys of HKEY_LOCAL_MACHINE.
  static const std::vector<std::string>& ProtectedKeys();
  // True for a protected key or a key below one (`key` relative to
  // HKEY_LOCAL_MACHINE).
  static bool IsProtectedKey(std::string_view key);

  SqliteRegistry();
  explicit SqliteRegistry(std::string directory);
  ~SqliteRegistry() override;
  SqliteRegistry(const SqliteRegistry&) = delete;
  SqliteRegistry& operator=(const SqliteRegistry&) = delete;

  const std::string& directory() const { return directory_; }
  HKEY root() const { return root_; }
  uint32_t view() const { return view_; }

  uint32_t GetSubKeyCount(const std::string& key, RegistryError* error = nullptr) override;
  std::string GetSubKeyPath(const std::string& key, uint32_t index, RegistryError* error = nullptr) override;
  uint32_t EnumSubKeys(const std::string& key, std::vector<std::string>& names,
                       RegistryError* error = nullptr) override;
  uint32_t GetValueCount(const std::string& key, RegistryError* error = nullptr) override;
  uint32_t EnumValues(const std::string& key, std::vector<std::string>& names,
                      RegistryError* error = nullptr) override;
  bool CreateKey(const std::string& parent, const std::string& child, RegistryError* error = nullptr) override;
  bool DeleteKey(const std::string& parent, const std::string& child, RegistryError* error = nullptr) override;
  bool GetString(const std::string& key, const std::string& name, std::string& value,
                 RegistryError* error = nullptr) override;
  bool SetString(const std::string& key, const std::string& name, const std::string& value,
                 RegistryError* error = nullptr) override;
  bool SetExpandString(const std::string& key, const std::string& name, const std::string& value,
                       RegistryError* error = nullptr) override;
  bool GetBinary(const std::string& key, const std::string& name, std::vector<uint8_t>& value,
                 RegistryError* error = nullptr) override;
  bool SetBinary(const std::string& key, const std::string& name, const std::vector<uint8_t>& value,
                 RegistryError* error = nullptr) override;
  bool GetDword(const std::string& key, const std::string& name, uint32_t& value,
                RegistryError* error = nullptr) override;
  bool SetDword(const std::string& key, const std::string& name, uint32_t value,
                RegistryError* error = nullptr) override;
  bool GetQword(const std::string& key, const std::string& name, uint64_t& value,
                RegistryError* error = nullptr) override;
  bool SetQword(const std::string& key, const std::string& name, uint64_t value,
                RegistryError* error = nullptr) override;
  bool GetMultiString(const std::string& key, const std::string& name, std::vector<std::string>& values,
                      RegistryError* error = nullptr) override;
  bool SetMultiString(const std::string& key, const std::string& name, const std::vector<std::string>& values,
                      RegistryError* error = nullptr) override;
  bool DeleteValue(const std::string& key, const std::string& name, RegistryError* error = nullptr) override;
  uint32_t GetValueType(const std::string& key, const std::string& name, RegistryError* error = nullptr) override;
  bool GetRawValue(const std::string& key, const std::string& name, std::vector<uint8_t>& data, uint32_t& type,
                   RegistryError* error = nullptr) override;
  bool SetRawValue(const std::string& key, const std::string& name, const std::vector<uint8_t>& data,
                   uint32_t type, RegistryError* error = nullptr) override;
  bool KeyExists(const std::string& key, RegistryError* error = nullptr) override;
  bool KeyExists(const std::string& parent, const std::string& child, RegistryError* error = nullptr) override;
  bool CreateKeyPath(const std::string& path, RegistryError* error = nullptr) override;
  bool DeleteKeyPath(const std::string& path, RegistryError* error = nullptr) override;
  bool CopyKey(const std::string& source, const std::string& destination, RegistryError* error = nullptr) override;
  bool CopyValue(const std::string& source_key, const std::string& source_name, const std::string& destination_key,
                 const std::string& destination_name, RegistryError* error = nullptr) override;
  bool DeleteKeyTree(const std::string& parent, const std::string& child, RegistryError* error = nullptr) override;
  void SetRootKey(HKEY root) override { root_ = root; }
  void SetView(uint32_t view) override { view_ = view; }
  RegistryError GetLastError() const override { return last_error_; }

 private:
  enum class Access;
  struct Target;

  // Finds the database and the path inside it that `key` addresses under the
  // current root, opening (or for Access::kCreate creating) the database.
  RegistryError Locate(const std::string& key, Access access, Target& target);
  RegistryError OpenDatabase(const std::string& file, Access access, platform::RegistryDatabase*& database);
  std::string MachineFile() const;
  std::string ProtectedFile() const;
  // Creates the protected folder (0700) and its parents when missing.
  RegistryError PrepareProtectedFolder() const;
  // Moves protected keys out of the readable machine database (root only).
  void MoveProtectedKeys(platform::RegistryDatabase& machine);
  // Adds the protected keys that exist directly below the machine key `path`
  // to `names`, where the caller may see them.
  void AddProtectedSubKeys(const std::string& path, std::vector<std::string>& names);
  // Creates the readable ancestors of a protected key, so that it can be
  // found by walking down from the root.
  void CreateProtectedAncestors(const std::vector<std::string_view>& components);
  std::string HiveFile(const std::string& sid) const;
  // True for HKEY_USERS\<SID> itself.
  bool IsHiveRoot(const std::string& key) const;
  RegistryError ListHives(std::vector<std::string>& sids) const;
  bool Finish(RegistryError result, RegistryError* error);

  // The operations without the bookkeeping of the last error, so that the
  // composite ones can build on them.
  RegistryError DoEnumSubKeys(const std::string& key, std::vector<std::string>& names);
  RegistryError DoEnumValues(const std::string& key, std::vector<std::string>& names);
  RegistryError DoCreateKey(const std::string& path);
  RegistryError DoDeleteKey(const std::string& parent, const std::string& child);
  RegistryError DoReadValue(const std::string& key, const std::string& name, uint32_t& type,
                            std::vector<uint8_t>& data);
  RegistryError DoWriteValue(const std::string& key, const std::string& name, uint32_t type,
                             const std::vector<uint8_t>& data);
  RegistryError DoCopyValue(const std::string& source_key, const std::string& source_name,
                            const std::string& destination_key, const std::string& destination_name);
  RegistryError DoCopyTree(const std::string& source, const std::string& destination);
  RegistryError DoDeleteTree(const std::string& parent, const std::string& child);

  std::string directory_;
  HKEY root_ = HKEY_LOCAL_MACHINE;
  uint32_t view_ = 0;
  RegistryError last_error_ = RegistryError::Ok;
  bool protected_keys_checked_ = false;
  // Open databases by file name.
  std::map<std::string, std::unique_ptr<platform::RegistryDatabase>> databases_;
};
