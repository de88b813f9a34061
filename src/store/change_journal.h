// The change journal of one hive: the changes of the local document since it
// was last saved, so that a change a client was answered Success for
// survives a crash of the service.
//
// It is an append-only file beside the local file ("<local file>.journal").
// Every change is appended with one write before the client is answered, so it
// survives the process; one thread for all hives calls fdatasync on the
// journals that grew, about a tenth of a second later, so a power loss costs
// at most that. Loading the hive replays the journal over the local file;
// the periodic save writes the local file and then empties the journal.
//
// Record: a 12-byte header and a payload.
//   u32 LE  payload length (1 .. kMaxRecordSize)
//   u32 LE  CRC-32C of the payload
//   u32 LE  CRC-32C of the first eight header bytes
//   payload compact UTF-8 JSON: an array of changes, each [keys] (remove the
//           member named by the key path) or [keys, value] (the value now
//           there; [] names the whole document).
// A change is an assignment, so replaying records that the local file
// already holds (a crash between the save and the truncation) is harmless.
//
// Reading: a record cut short by the end of the file (a torn last write) is
// dropped; a record whose header or payload does not check, and everything
// after it, is moved to "<journal>.corrupt" with an error in the log, never
// deleted.
//
// Threads: a journal belongs to one hive and is called under its lock; the
// sync thread holds a reference while it syncs.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mutex.h"
#include "store/velder_path.h"

class ChangeJournal : public std::enable_shared_from_this<ChangeJournal> {
 public:
  static constexpr size_t kHeaderSize = 12;
  // A record holds at most a whole local document (Storage reads at most 32 MiB).
  static constexpr uint32_t kMaxRecordSize = 0x2000000;
  // Past this size appends are refused: the saves that empty it are failing.
  static constexpr uint64_t kMaxJournalSize = 0x10000000;  // 256 MiB

  // The member of the local document at `keys` now holds `value`, or (no
  // value) is gone.
  struct Change {
    std::vector<std::string> keys;
    std::optional<nlohmann::json> value;
  };

  // What the bytes of a journal hold.
  struct Scan {
    enum Tail { kClean, kTorn, kCorrupt };
    std::vector<nlohmann::json> records;  // the payloads of the good records
    size_t good_bytes = 0;                // where the good records end
    Tail tail = kClean;
  };

  // The journal of the local file `local_file`; null when journals are
  // switched off (VELDER_JOURNAL=off in the environment, for measurements) or
  // the file name is empty. Touches no file.
  static std::shared_ptr<ChangeJournal> ForLocalFile(const std::string& local_file);

  explicit ChangeJournal(std::string path);
  ~ChangeJournal();
  ChangeJournal(const ChangeJournal&) = delete;
  ChangeJournal& operator=(const ChangeJournal&) = delete;

  // Applies the journal's good records to `document` in order and makes the
  // file end after them (keeping a bad part aside). Returns the number of
  // records applied. Call once, before the first Append.
  size_t Replay(nlohmann::json& document);
  // Appends one record; false when it could not be written completely, and
  // then the journal is as before.
  bool Append(const std::vector<Change>& changes);
  // Appends one record of the values `document` now holds at each of
  // `key_paths` (a member that is not there is recorded as removed), encoded
  // straight from the document: the same record as Append of their Snapshots,
  // without copying the values first.
  bool AppendSnapshots(const nlohmann::json& document, const std::vector<std::vector<std::string>>& key_paths);
  // Empties the journal once its changes are in the saved local file.
  bool Truncate();
  // fdatasync of what was appended (the sync thread calls it).
  void Sync();

  const std::string& path() const { return path_; }

  // The record format, for the reader and for tests.
  static std::string EncodeRecord(const std::vector<Change>& changes);
  static std::string EncodeSnapshots(const nlohmann::json& document,
                                     const std::vector<std::vector<std::string>>& key_paths);
  static Scan Decode(std::string_view bytes);
  // Applies one payload; false (document unchanged) when it is no list of
  // changes.
  static bool ApplyRecord(const nlohmann::json& payload, nlohmann::json& document);
  static void ApplyChanges(const std::vector<Change>& changes, nlohmann::json& document);
  static uint32_t Crc32c(std::string_view bytes, uint32_t crc = 0);

  // The keys of `path` up to its first index: arrays are stored whole in the
  // local document, so a change below an index is recorded as its array.
  static std::vector<std::string> KeyPrefix(const VelderPath::Path& path);
  // The change that gives `document` its present value at `keys`.
  static Change Snapshot(const nlohmann::json& document, std::vector<std::string> keys);

 private:
  bool OpenForAppendLocked() REQUIRES(mutex_);
  bool AppendRecord(const std::string& record) EXCLUDES(mutex_);
  bool KeepAside(const std::string& bytes, size_t from);

  const std::string path_;
  platform::Mutex mutex_;  // the descriptor, the size and the flags (the sync thread reads the descriptor too)
  int fd_ GUARDED_BY(mutex_) = -1;
  uint64_t size_ GUARDED_BY(mutex_) = 0;
  bool broken_ GUARDED_BY(mutex_) = false;      // the file's end is not known: append nothing until a truncation
  bool unreadable_ GUARDED_BY(mutex_) = false;   // the file could not be read nor moved aside: keep it as it is
  bool sync_folder_ GUARDED_BY(mutex_) = false;  // the file was created: its folder entry needs a sync
  std::atomic<bool> sync_scheduled_{false};
};
