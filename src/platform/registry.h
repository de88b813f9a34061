// The registry: a tree of keys below a few predefined roots, each key holding
// named, typed values. The service reads its machine-wide configuration from it
// (logging, delay loading, late-bound files, pinned certificates, folders).
//
// `Registry` is the interface every caller holds; `SqliteRegistry`
// (platform/sqlite_registry.h) stores the tree in SQLite databases.
//
// Conventions shared by every operation:
// - Key paths are relative to the root chosen with SetRootKey and use
//   backslashes ("SOFTWARE\Halvern\QOR\Logging"). The empty path is the root
//   itself. One trailing backslash is ignored; a leading backslash or an empty
//   component inside the path ("A\\B") is refused with InvalidArgument.
// - Key and value names compare without regard to ASCII case but keep the case
//   they were created with. An empty value name addresses the key's default
//   value.
// - All text is UTF-8; text that is not well-formed UTF-8 is refused with
//   InvalidArgument (it never silently becomes an empty name or value).
// - Each operation stores its RegistryError (readable with GetLastError) and,
//   when `error` is not null, writes it there too. Operations return false,
//   0 or an empty string on failure and never throw for registry errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Result of a registry operation. Code 4 is never produced.
enum class RegistryError : uint32_t {
  Ok = 0,
  NotFound = 1,         // no such key, value or database
  WrongType = 2,        // the value exists with a type the operation does not accept
  Failed = 3,           // any other failure: corrupt database, disk error, busy past the time-out
  AccessDenied = 5,     // the file permissions forbid the access
  InvalidArgument = 6,  // malformed path or name, empty name, index out of range,
                        // copy into the source's own subtree, empty multi-string element
};

// A short English name for messages ("NotFound").
constexpr std::string_view RegistryErrorName(RegistryError error) {
  switch (error) {
    case RegistryError::Ok: return "Ok";
    case RegistryError::NotFound: return "NotFound";
    case RegistryError::WrongType: return "WrongType";
    case RegistryError::Failed: return "Failed";
    case RegistryError::AccessDenied: return "AccessDenied";
    case RegistryError::InvalidArgument: return "InvalidArgument";
  }
  return "Unknown";
}

// The predefined root keys. HKEY_CURRENT_USER is HKEY_USERS\<SID of the
// process's effective uid> (platform::SidForUid). Below HKEY_USERS the first
// path component names the user's hive by SID ("S-1-22-1-1000\Software\X").
enum class HKEY : uint32_t {
  CurrentUser = 0x80000001,
  LocalMachine = 0x80000002,
  Users = 0x80000003,
};
inline constexpr HKEY HKEY_CURRENT_USER = HKEY::CurrentUser;
inline constexpr HKEY HKEY_LOCAL_MACHINE = HKEY::LocalMachine;
inline constexpr HKEY HKEY_USERS = HKEY::Users;

// View flags. Accepted and remembered; there is a single view, so they never
// redirect a key.
inline constexpr uint32_t KEY_WOW64_64KEY = 0x100;
inline constexpr uint32_t KEY_WOW64_32KEY = 0x200;

// Value types.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

// Value data is stored as the platform stores it: strings as UTF-16LE code
// units with a terminating NUL, multi-strings as NUL-terminated elements
// followed by one more NUL, DWORD and QWORD little-endian. The string readers
// drop exactly one trailing NUL, so a value written without a terminator reads
// back whole and one written with two reads back with one NUL character.
//
// An instance is used by one thread at a time (the last error is not
// synchronised); every user creates its own. Several instances, threads and
// processes may use the same registry at once.
class Registry {
 public:
  virtual ~Registry() = default;

  // Number of direct subkeys of `key`; 0 on failure.
  virtual uint32_t GetSubKeyCount(const std::string& key, RegistryError* error = nullptr) = 0;
  // `key` + "\" + the index-th subkey name (subkeys in case-insensitive name
  // order); empty on failure, InvalidArgument when index >= count.
  virtual std::string GetSubKeyPath(const std::string& key, uint32_t index, RegistryError* error = nullptr) = 0;
  // Replaces `names` with the direct subkey names of `key` (case-insensitive
  // name order); returns their count, 0 and an empty list on failure.
  virtual uint32_t EnumSubKeys(const std::string& key, std::vector<std::string>& names,
                               RegistryError* error = nullptr) = 0;
  virtual uint32_t GetValueCount(const std::string& key, RegistryError* error = nullptr) = 0;
  // Replaces `names` with the value names of `key` in the order they were
  // first written.
  virtual uint32_t EnumValues(const std::string& key, std::vector<std::string>& names,
                              RegistryError* error = nullptr) = 0;

  // Creates parent\child and any missing key above it; an existing key is
  // success. An empty child is InvalidArgument.
  virtual bool CreateKey(const std::string& parent, const std::string& child, RegistryError* error = nullptr) = 0;
  // Deletes parent\child with its values. A key that still has subkeys is not
  // deleted (Failed); an empty child is InvalidArgument.
  virtual bool DeleteKey(const std::string& parent, const std::string& child, RegistryError* error = nullptr) = 0;

  // Reads a REG_SZ or REG_EXPAND_SZ value (unexpanded); WrongType and an empty
  // `value` for any other type.
  virtual bool GetString(const std::string& key, const std::string& name, std::string& value,
                         RegistryError* error = nullptr) = 0;
  // Writes a REG_SZ value with its terminating NUL. Setters never create the
  // key: a missing key is NotFound.
  virtual bool SetString(const std::string& key, const std::string& name, const std::string& value,
                         RegistryError* error = nullptr) = 0;
  // Writes a REG_EXPAND_SZ value, stored like SetString's.
  virtual bool SetExpandString(const std::string& key, const std::string& name, const std::string& value,
                               RegistryError* error = nullptr) = 0;
  // Reads a REG_BINARY value; a zero-length value gives an empty list.
  virtual bool GetBinary(const std::string& key, const std::string& name, std::vector<uint8_t>& value,
                         RegistryError* error = nullptr) = 0;
  virtual bool SetBinary(const std::string& key, const std::string& name, const std::vector<uint8_t>& value,
                         RegistryError* error = nullptr) = 0;
  // Reads a REG_DWORD value (also an untyped value of exactly 4 bytes).
  virtual bool GetDword(const std::string& key, const std::string& name, uint32_t& value,
                        RegistryError* error = nullptr) = 0;
  virtual bool SetDword(const std::string& key, const std::string& name, uint32_t value,
                        RegistryError* error = nullptr) = 0;
  // Reads a REG_QWORD value (also an untyped value of exactly 8 bytes).
  virtual bool GetQword(const std::string& key, const std::string& name, uint64_t& value,
                        RegistryError* error = nullptr) = 0;
  virtual bool SetQword(const std::string& key, const std::string& name, uint64_t value,
                        RegistryError* error = nullptr) = 0;
  // Reads a REG_MULTI_SZ value into `values`, stopping at the first empty
  // element (the closing double NUL); a zero-length value gives an empty list.
  virtual bool GetMultiString(const std::string& key, const std::string& name, std::vector<std::string>& values,
                              RegistryError* error = nullptr) = 0;
  // Writes a REG_MULTI_SZ value; an empty or NUL-containing element is
  // InvalidArgument and nothing is written. An empty list writes two NULs.
  virtual bool SetMultiString(const std::string& key, const std::string& name,
                              const std::vector<std::string>& values, RegistryError* error = nullptr) = 0;
  virtual bool DeleteValue(const std::string& key, const std::string& name, RegistryError* error = nullptr) = 0;

  // The type of a value (REG_SZ, ...); 0 on failure.
  virtual uint32_t GetValueType(const std::string& key, const std::string& name, RegistryError* error = nullptr) = 0;
  // The stored bytes and type of a value of any type.
  virtual bool GetRawValue(const std::string& key, const std::string& name, std::vector<uint8_t>& data,
                           uint32_t& type, RegistryError* error = nullptr) = 0;
  // Writes bytes under any type as they stand (import of exported values,
  // values without a terminating NUL). The key must exist.
  virtual bool SetRawValue(const std::string& key, const std::string& name, const std::vector<uint8_t>& data,
                           uint32_t type, RegistryError* error = nullptr) = 0;

  virtual bool KeyExists(const std::string& key, RegistryError* error = nullptr) = 0;
  virtual bool KeyExists(const std::string& parent, const std::string& child, RegistryError* error = nullptr) = 0;
  // Creates every key along `path` (the empty path is the root and succeeds);
  // a trailing backslash is InvalidArgument.
  virtual bool CreateKeyPath(const std::string& path, RegistryError* error = nullptr) = 0;
  // DeleteKey of the part before the last backslash and the last component;
  // a path without a backslash is InvalidArgument.
  virtual bool DeleteKeyPath(const std::string& path, RegistryError* error = nullptr) = 0;

  // Copies the values and subkeys of `source` into `destination` (created as
  // needed). Copying into the source's own subtree is InvalidArgument. Within
  // one database the copy happens at once or not at all.
  virtual bool CopyKey(const std::string& source, const std::string& destination, RegistryError* error = nullptr) = 0;
  // Copies one value, type and bytes; the destination key must exist.
  virtual bool CopyValue(const std::string& source_key, const std::string& source_name,
                         const std::string& destination_key, const std::string& destination_name,
                         RegistryError* error = nullptr) = 0;
  // Deletes parent\child with all its subkeys and values; within one
  // database at once or not at all.
  virtual bool DeleteKeyTree(const std::string& parent, const std::string& child, RegistryError* error = nullptr) = 0;

  // The root every key path is relative to; default HKEY_LOCAL_MACHINE.
  virtual void SetRootKey(HKEY root) = 0;
  // KEY_WOW64_64KEY / KEY_WOW64_32KEY; default 0.
  virtual void SetView(uint32_t view) = 0;
  // The code of the last operation.
  virtual RegistryError GetLastError() const = 0;
};
