// The hive files on disk.
//
// Every hive has two JSON files in the data folder: its base document
// ("<product>.<user>.base.velder") and its local document
// ("<product>.<user>.local.velder"), each with a backup that carries ".bck"
// appended. The backup always holds the last good document that a save
// replaced, so a damaged or missing file costs at most the last change:
//
//   Save   writes the new text to "<file>.tmp" and syncs it, then gives the
//          current file the backup name as well (a hard link, so the file is
//          never missing) when it still parses, renames the new file into
//          place and syncs the folder. A file that does not parse never
//          replaces a good backup; it is kept aside as "<file>.unreadable".
//          A document too large to load again is not written at all. Dying at any step leaves the old file, or
//          the new one, complete under the file's own name.
//   Load   reads the file and falls back to the backup, saying so.
//
// Threads: any thread may call any operation. One file lock serialises every
// read, write, copy, delete and listing of this Storage; a data folder belongs
// to one Storage. Hives call in while holding their own lock (hive lock before
// the file lock, never the other way round).
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/resource_limits.h"
#include "platform/thread_annotations.h"
#include "store/result_code.h"

class Storage {
 public:
  // Results of Save, SaveBase, SaveLocal, ListUsers and ListLocalFileUsers.
  static constexpr uint32_t kStatusOk = 0;
  static constexpr uint32_t kStatusFailed = 1;
  // The result a client is answered with for one of these statuses; an
  // unknown status is a GenericFailure, never a success.
  static ResultCode ToResultCode(uint32_t status);

  // Larger files are neither read (EFBIG) nor written.
  static constexpr size_t kMaxFileSize = resource_limits::kMaxHiveFileBytes;

  // One user that has a local file.
  struct UserEntry {
    std::string name;
    uint32_t flags = 0;  // always 0; callers send it as the entry's value type
    bool operator==(const UserEntry&) const = default;
  };

  // `data_folder` must exist; it is fixed for the life of the object.
  explicit Storage(std::string data_folder);
  virtual ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // The documents of a hive; null when neither the file nor its backup holds one.
  virtual nlohmann::json LoadBase(const std::string& product, const std::string& user) EXCLUDES(file_lock_);
  virtual nlohmann::json LoadLocal(const std::string& product, const std::string& user) EXCLUDES(file_lock_);
  virtual uint32_t SaveBase(const std::string& product, const std::string& user, const nlohmann::json& document)
      EXCLUDES(file_lock_);
  virtual uint32_t SaveLocal(const std::string& product, const std::string& user, const nlohmann::json& document)
      EXCLUDES(file_lock_);

  // Deletes the base file and, only when that worked, its backup. True when
  // neither is left. There is deliberately no way to delete a local file.
  virtual bool DeleteBase(const std::string& product, const std::string& user) EXCLUDES(file_lock_);

  // Copies `source` to the hive's base file unless a base file exists; true
  // when the copy was made. Never replaces a base file the server delivered,
  // and never leaves a partly copied base file behind.
  virtual bool CopyInitialBaseFile(const std::string& product, const std::string& user, const std::string& source)
      EXCLUDES(file_lock_);

  // The users that have local files, sorted, without duplicates. Returns
  // kStatusOk, or kStatusFailed when the folder cannot be listed or holds no
  // local file at all (`users` is then left as it was).
  virtual uint32_t ListUsers(std::vector<UserEntry>& users) EXCLUDES(file_lock_);

  // "<data folder>/<product>.<user>.<kind>.velder". Only names that stay
  // inside the data folder are made: the product must be letters, digits, '_'
  // or '-', the user a SID text (platform::IsValidSidText) and the kind "base"
  // or "local"; otherwise the result is empty, and every operation on an empty
  // path fails (loads give null, saves kStatusFailed).
  virtual std::string GetFileName(const std::string& product, const std::string& user, const std::string& kind) const;

  // Reads `path`, falling back to its backup ("Backup of file ... used").
  virtual nlohmann::json Load(const std::string& path) EXCLUDES(file_lock_);
  // Reads `path` alone; null when it is missing (silently), unreadable, too
  // large or not JSON (logged). Takes no lock.
  virtual nlohmann::json LoadOnce(const std::string& path);
  // Writes `document` as compact UTF-8 JSON, keeping the previous good file as
  // the backup. kStatusFailed leaves the file and backup as they were before
  // the call (at most the file's backup name also names the old file).
  virtual uint32_t Save(const std::string& path, const nlohmann::json& document) EXCLUDES(file_lock_);
  // Removes `path`; true when it is gone (also when it never existed). Takes no lock.
  virtual bool Delete(const std::string& path);
  // Makes the current file at `path` its backup as well, when it holds a
  // document; a damaged file leaves the existing backup alone. False only when
  // a good file could not be kept as the backup. Takes no lock.
  virtual bool MakeBackupFile(const std::string& path);
  virtual std::string GetBackupFileName(const std::string& path) const;
  // The user part of every "<product>.<user>.local.velder" file; see ListUsers.
  virtual uint32_t ListLocalFileUsers(std::vector<std::string>& users) EXCLUDES(file_lock_);

  const std::string& data_folder() const { return data_folder_; }

 private:
  const std::string data_folder_;
  // Serialises every file operation of this object (see the class comment).
  std::mutex file_lock_;
};
