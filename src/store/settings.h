// One hive: the settings of the product "tarn" for one user.
//
// A hive holds three JSON documents and keeps them consistent:
//
//   base       what the settings server delivered (or the system hive's base
//              for a user without one of its own): the schema under
//              "data"."eff_schema" and the base values under "data"."values".
//   local      what this machine changed: "patch" (values the schema
//              describes; sent to the server), "local" (values it does not
//              describe; never sent), "local_admin_only" (paths only
//              administrators may change), "metadata" ("etag", "pns_id",
//              "next_check") and, on the system hive, "statistics".
//   effective  what clients read: the schema applied to the base values and
//              "patch", with "local" merged in where the schema gives nothing.
//              A top-level member of "local" that the schema gives no value
//              is not copied: reads of it fall through to "local" (so a value
//              written locally is held once), and the members of the held
//              document are only those the schema gives.
//
// Base and local are the hive's files (Storage). Every change of the
// effective document is reported to the change notifier, one notification per
// changed leaf, removals without a value; notifications are only queued here
// and sent later by the notifier's own thread.
//
// The class is written in four parts, all in this folder: the documents and
// their files (settings.cpp), the value operations (settings_values.cpp), the
// update cycle (settings_update_cycle.cpp) and push notifications
// (settings_push.cpp). When the hive is next due lives in its UpdateSchedule.
//
// Rebuilding the effective document. A client write changes "patch" or
// "local" at or below one path only; the hive then recomputes just the part of
// the effective document that the write can reach (see RebuildEffectiveAt) and
// compares only that part. Everything else (a new base document, a swapped
// patch, a reload) rebuilds and compares the whole document. Code that changes
// the documents in any other way must rebuild fully (UpdateEffectiveSettings)
// or call MarkEffectiveStale before it releases the hive lock.
//
// Threads: request threads, the manager's worker and update threads and the
// push library's threads call in at any time. Public operations take the
// hive lock themselves and never call each other under it; what they share
// is written as private ...Locked operations that need it. Files are read and
// written without the hive lock, under the hive's disk lock, so that a slow
// disk never holds up a reader of this hive: a save writes a copy of the
// local document taken under the hive lock. The values the manager's
// scheduler reads (next check, back-off floor, connected, dirty, last access)
// are published as atomics and read without any lock. The lock order is
// written once, in manager/settings_manager.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/manual_reset_event.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "server/update_schedule.h"
#include "store/request_context.h"
#include "store/result_code.h"
#include "store/value_type.h"
#include "store/velder_path.h"

class ChangeJournal;
class ChangeSink;
class StatisticsSink;
class Storage;

class Settings {
 public:
  // The product word of every hive file and notification.
  static constexpr char kProduct[] = "tarn";
  // The user of the system hive, which also carries the service's own settings.
  static constexpr char kSystemUser[] = "S-1-5-18";
  // A hive untouched for longer than this, with no subscriber, may be dropped.
  static constexpr int64_t kInactiveAfter = 1200;  // 20 minutes
  // The system hive keeps the latest this many statistics reports.
  static constexpr size_t kMaxStatisticsReports = 24;
  // Constraint bits of a path.
  static constexpr uint32_t kConstraintReadonly = 1;   // from the schema
  static constexpr uint32_t kConstraintAdminOnly = 2;  // from "local_admin_only"

  // Who caused a change, for the notifier: a client channel, "" for the
  // service itself. No origin at all means "do not notify".
  using Origin = std::optional<std::string>;

  // One child of an enumerated value: its member name or index, and the type
  // of its value.
  struct Entry {
    std::string name;
    ValueType type = ValueType::Other;
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  // Touches no file; Load reads them. `storage`, `notifier` and
  // `update_event` (the manager's wake event, signalled whenever the next
  // check changes) must outlive the hive; `statistics` may be null (no
  // request statistics). `identity` is the plug-in's, used to register for
  // push messages.
  Settings(std::string user, Storage& storage, ChangeSink& notifier, platform::ManualResetEvent& update_event,
           StatisticsSink* statistics, std::string identity);
  // Ends the push registration and wakes the update loop, which then no
  // longer waits for this hive.
  virtual ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // ---- Documents and their files (settings.cpp) ----

  // Reads the hive's files (replaying the change journal over the local one)
  // and builds the effective document. Missing or damaged files give empty
  // documents, never a failure. Once, before any other operation.
  void Load() EXCLUDES(disk_lock_, hive_lock_);
  // Reads the base file again (a user without one gets the system hive's) and
  // rebuilds; with `notify`, every change is notified.
  void UpdateSettingsFromDisk(bool notify) EXCLUDES(disk_lock_, hive_lock_);
  // Takes a new base document: refused (false) when it is no valid base or
  // cannot be saved. Paths whose read-only mark changes get a constraint
  // notification. The effective document is rebuilt by the next rebuild.
  bool ApplyBaseSettings(nlohmann::json new_base) EXCLUDES(disk_lock_, hive_lock_);
  // Takes the machine's late-bound base document unless the hive has a server
  // copy, saves and rebuilds with notifications. True when it was taken.
  bool ApplyLateboundBase(nlohmann::json document) EXCLUDES(disk_lock_, hive_lock_);
  // Rebuilds the whole effective document and, with an origin, notifies every
  // changed leaf. `log` names settings that give no value. False (effective
  // document unchanged) only when the schema gives no document at all.
  bool UpdateEffectiveSettings(const Origin& origin, bool log) EXCLUDES(hive_lock_);
  // Marks the local document for saving. With `schedule`, a hive that has a
  // server copy, may send patches and holds local changes becomes due for an
  // update at once. Always returns 0.
  uint32_t MarkDirty(bool schedule) EXCLUDES(hive_lock_);
  // The system hive first files a due statistics report. Then saves the local
  // document if it is dirty; returns the save's status (0 when nothing to do).
  uint32_t SaveLocalIfDirty() EXCLUDES(disk_lock_, hive_lock_);
  // Saves the local document. A failed save, or a change made while the file
  // was written, leaves the hive dirty for the next try.
  uint32_t SaveLocalFile() EXCLUDES(disk_lock_, hive_lock_);

  // The setting "windows.velder.product" when it is a text, else "".
  std::string GetProduct() EXCLUDES(hive_lock_);
  // "metadata"."etag" when it is a text, else "".
  std::string GetEtag() EXCLUDES(hive_lock_);

  // ---- Value operations (settings_values.cpp) ----

  ResultCode GetValue(const VelderPath::Path& path, nlohmann::json& value, const RequestContext& request)
      EXCLUDES(hive_lock_);
  ResultCode SetValue(const VelderPath::Path& path, const nlohmann::json& value, const RequestContext& request,
                      const std::string& origin) EXCLUDES(hive_lock_);
  ResultCode DeleteValue(const VelderPath::Path& path, const RequestContext& request, const std::string& origin)
      EXCLUDES(hive_lock_);
  ResultCode Enumerate(std::string_view path_text, const RequestContext& request, std::vector<Entry>& entries)
      EXCLUDES(hive_lock_);
  // kConstraintReadonly and/or kConstraintAdminOnly.
  uint32_t GetConstraints(const VelderPath::Path& path) EXCLUDES(hive_lock_);
  // Adds (`requested` includes 2) or removes (`requested` 0) the path as an
  // admin-only path. Read-only can only come from the schema.
  ResultCode SetLocalConstraints(const VelderPath::Path& path, uint32_t requested, const RequestContext& request,
                                 const std::string& origin) EXCLUDES(hive_lock_);
  // kConstraintAdminOnly when the path lies at or below an admin-only path.
  uint32_t GetLocalConstraints(const VelderPath::Path& path) EXCLUDES(hive_lock_);

  // ---- Update scheduling and connection status (settings_update_cycle.cpp) ----

  // Schedules the next update for `code` (UpdateSchedule::Status): its delay
  // plus jitter, never before the back-off floor. Writes
  // "metadata"."next_check" and wakes the update loop.
  void SetNextUpdateCheck(uint32_t code) EXCLUDES(hive_lock_);
  // Makes the hive due for an update at once (a client asked to synchronise),
  // also within the back-off floor of the last outcome.
  void UpdateNow() EXCLUDES(hive_lock_);
  // Whether the manager may drop the hive: untouched for more than 20 minutes
  // and nobody subscribed to it. Takes no hive lock.
  bool IsInactive();
  // Records the outcome of an exchange under "status.windows.velder" in
  // "local", then rebuilds the effective document and notifies every change
  // (this is what makes a new base document visible to clients).
  void WriteConnectionStatus(bool connection_succeeded, bool update_succeeded) EXCLUDES(hive_lock_);
  // The same with "connected" false and no time stamps.
  void ClearConnectionStatus() EXCLUDES(hive_lock_);
  // Drops the server copy (etag, push id, the user's own base file), falls
  // back to the stored or system base and retries in about 30 days.
  void SetToNotConnected() EXCLUDES(disk_lock_, hive_lock_);
  // Takes a new poll interval; when it differs, the next check is set again
  // with the last status code.
  void RescheduleNextUpdateCheck(int64_t poll_interval) EXCLUDES(hive_lock_);

  // Reasons of UpdateFinishError.
  enum UpdateError : uint32_t {
    kErrorGeneral = 0,       // transport failures and unexpected statuses
    kErrorNotFound = 1,      // 403 or 404: the server has no copy for this client
    kErrorUnauthorized = 2,  // 401
    kErrorRefused = 3,       // 400 or 422: the upload was refused for good
    kErrorTooMany = 4,       // 429
  };
  // An exchange begins: from now on every local change is also recorded in
  // the update journal. Returns the upload body ({"values": patch}), or ""
  // when there is nothing to upload.
  std::string UpdateStart() EXCLUDES(hive_lock_);
  // The exchange that UpdateStart began is over (the manager calls it after
  // the last UpdateFinish*). A client's sync or a push message that came
  // while it ran makes the hive due again at once: the exchange's outcome
  // has just scheduled the next check as if they never came.
  void UpdateEnd() EXCLUDES(hive_lock_);
  // The server sent a new base document `body` with entity tag `etag` (after
  // an upload when `upload`). A document that cannot be taken keeps the old
  // base; an empty tag is an error ("Missing ETAG"). True when the document
  // was taken.
  bool UpdateFinishData(const std::string& body, const std::string& etag, bool upload)
      EXCLUDES(disk_lock_, hive_lock_);
  // The server has nothing new (204 after an upload, 304 after a fetch).
  void UpdateFinishUpToDate(bool upload) EXCLUDES(hive_lock_);
  // The exchange failed for `reason` (UpdateError).
  void UpdateFinishError(uint32_t reason) EXCLUDES(disk_lock_, hive_lock_);
  // Adds what clients cannot learn otherwise to the connection status: the
  // outcome of the last exchange in words, the next check and, when one is
  // running, the end of the server back-off. Written once per exchange.
  void RecordExchangeOutcome(const std::string& result, int64_t server_backoff_until) EXCLUDES(hive_lock_);

  // ---- Push notifications (settings_push.cpp) ----

  // Registers with the push library while the hive is connected and drops
  // the registration once it is not. Called by the manager's worker thread.
  void ConfigurePushNotifications() EXCLUDES(push_lock_, hive_lock_);
  // The push library reports the pns id of this client: a connected hive
  // reports a new one to the server at its next update, which comes at once.
  void UpdatePnsId(const std::string& pns_id) EXCLUDES(hive_lock_);
  // A push message (JSON); two kinds make a connected hive update at once.
  void HandlePushNotification(const std::string& message) EXCLUDES(hive_lock_);
  // The pns id still to be reported and the body that reports it; both empty
  // when there is none.
  void GetPendingPnsId(std::string& body, std::string& pns_id) EXCLUDES(hive_lock_);
  // The server took `pns_id`: it is stored, and no longer pending unless a
  // newer one arrived meanwhile.
  void UpdateEffectivePnsId(const std::string& pns_id) EXCLUDES(hive_lock_);

  // ---- Accessors ----

  const std::string& user() const { return user_; }
  const std::string& display_name() const { return display_name_; }
  const std::string& identity() const { return identity_; }
  bool is_system_hive() const { return is_system_hive_; }

  // Published for the scheduler: read without any lock.
  bool connected() const { return connected_.load(); }
  int64_t next_check() const { return next_check_.load(); }
  int64_t not_before() const { return not_before_.load(); }
  bool dirty() const { return dirty_.load(); }
  int64_t last_access_time() const { return last_access_.load(); }
  // Counts as a use of the hive (IsInactive).
  void Touch();

  int64_t poll_interval() EXCLUDES(hive_lock_);
  void SetPollInterval(int64_t seconds) EXCLUDES(hive_lock_);
  uint32_t last_status_code() EXCLUDES(hive_lock_);
  bool patch_enabled() EXCLUDES(hive_lock_);
  void SetPatchEnabled(bool enabled) EXCLUDES(hive_lock_);
  bool statistics_on() EXCLUDES(hive_lock_);
  // Every later jitter of the schedule is `fixed`; none: drawn again.
  void SetJitterForTesting(std::optional<double> fixed) EXCLUDES(hive_lock_);
  // Set when the local file was missing or unusable at load. Clearing returns
  // whether it was set, so that exactly one caller reports a new hive.
  bool local_created() const { return local_created_.load(); }
  bool ClearLocalCreated() { return local_created_.exchange(false); }

  // Copies of the documents, and of the changes recorded while an exchange
  // is in flight (null before the first exchange).
  nlohmann::json effective_document() EXCLUDES(hive_lock_);
  nlohmann::json base_document() EXCLUDES(hive_lock_);
  nlohmann::json local_document() EXCLUDES(hive_lock_);
  nlohmann::json update_journal() EXCLUDES(hive_lock_);
  // The length of the local document as its file would hold it (compact
  // JSON), counted without building the text.
  size_t LocalDocumentBytes() EXCLUDES(hive_lock_);

  // Display name of a user in log lines: the user itself, or when longer than
  // nine characters its first character, "..", and its last seven.
  static std::string MakeDisplayName(std::string_view user);

 private:
  // One overlay write that can be undone (SetValue rolls back on failure).
  struct OverlayUndo {
    nlohmann::json* overlay = nullptr;
    VelderPath::Path path;                   // what to restore
    std::optional<nlohmann::json> previous;  // the value there before; none: the member was created
  };

  // ---- Files (settings.cpp) ----

  // The hive's base file; a user without one gets the system hive's
  // (`used_system_base`). Anything but an object is logged and gives {}.
  nlohmann::json LoadBaseFile(bool& used_system_base);
  // The hive's local file; anything but an object gives {} and `created`.
  nlohmann::json LoadLocalFile(bool& created);
  // Reads the files (the local one only on the first call) without the hive
  // lock, then takes what was read under it.
  void ReadFilesAndRebuild(bool notify) REQUIRES(disk_lock_) EXCLUDES(hive_lock_);
  // Checks and saves a new base document; the caller then installs it.
  bool SaveBase(const nlohmann::json& new_base) REQUIRES(disk_lock_) EXCLUDES(hive_lock_);
  // Makes a saved base document the hive's and notifies the read-only marks
  // that it changes.
  void InstallBaseLocked(nlohmann::json new_base) REQUIRES(hive_lock_);
  // Writes a copy of the local document; the hive stays dirty when it
  // changed meanwhile.
  uint32_t SaveLocalWithDiskLock() REQUIRES(disk_lock_) EXCLUDES(hive_lock_);
  uint32_t MarkDirtyLocked(bool schedule) REQUIRES(hive_lock_);
  // `local_change` says where "local" changed since the effective document
  // was built (null: nowhere), so that what clients saw of it can be told.
  bool UpdateEffectiveSettingsLocked(const Origin& origin, bool log, const OverlayUndo* local_change = nullptr)
      REQUIRES(hive_lock_);
  nlohmann::json& SchemaRoot() REQUIRES(hive_lock_);
  nlohmann::json& BaseValues() REQUIRES(hive_lock_);
  nlohmann::json& LocalMember(const char* name, nlohmann::json::value_t type) REQUIRES(hive_lock_);
  nlohmann::json& Patch() REQUIRES(hive_lock_);
  nlohmann::json& LocalValues() REQUIRES(hive_lock_);
  nlohmann::json& Metadata() REQUIRES(hive_lock_);
  // Documents changed outside SetValue/DeleteValue: the next write rebuilds
  // the whole effective document.
  void MarkEffectiveStale() REQUIRES(hive_lock_) { effective_stale_ = true; }

  // Rebuilds the part of the effective document that changes of "patch" and
  // "local" at or below `changed` can reach, and notifies what changed there.
  // Falls back to the whole document when it is stale. `local_change` as for
  // UpdateEffectiveSettingsLocked.
  void RebuildEffectiveAt(const VelderPath::Path& changed, const Origin& origin, const OverlayUndo* local_change)
      REQUIRES(hive_lock_);
  // The value clients read at `path`, or null: in the effective document, or
  // in "local" for a top-level member the effective document does not hold.
  // With `local_change`, "local" is read as it was before that change. The
  // root (and a value from before the change, where it lies above the
  // change) is built in `scratch`.
  const nlohmann::json* FindEffective(const VelderPath::Path& path, nlohmann::json& scratch,
                                      const OverlayUndo* local_change = nullptr) REQUIRES(hive_lock_);
  // The value of "local" at `path` as it was before `local_change` (null:
  // as it is).
  const nlohmann::json* FindLocalBefore(const VelderPath::Path& path, const OverlayUndo* local_change,
                                        nlohmann::json& scratch) REQUIRES(hive_lock_);
  // The top-level members clients see, in name order: those of `effective`
  // and beside them the members of "local" (as before `local_change`).
  using Members = std::vector<std::pair<const std::string*, const nlohmann::json*>>;
  Members ViewMembers(const nlohmann::json& effective, const OverlayUndo* local_change, nlohmann::json& scratch)
      REQUIRES(hive_lock_);
  // The whole document clients see, built.
  nlohmann::json EffectiveView(const OverlayUndo* local_change) REQUIRES(hive_lock_);
  // "local", or null when the local document has none.
  const nlohmann::json* LocalValuesOrNull() const REQUIRES(hive_lock_);
  // The effective document the current base and overlays give (null when
  // the schema gives none), without taking it.
  nlohmann::json ComputeEffectiveDocument() REQUIRES(hive_lock_);
  // Drops from "patch" (and the update journal) every value whose type no
  // longer fits its schema node, after the schema changed: a number left
  // where the schema now has an object would block writes below it for good
  // and go to the server with every upload. Logs each; true when any went.
  bool DropStalePatchValues() REQUIRES(hive_lock_);
  // Compares old and new (null pointer: missing) below `path` and queues one
  // notification per changed leaf.
  void NotifyChanges(const nlohmann::json* old_value, const nlohmann::json* new_value, VelderPath::Path& path,
                     const std::string& origin) REQUIRES(hive_lock_);
  void NotifyChange(const VelderPath::Path& path, const nlohmann::json* value, const std::string& origin)
      REQUIRES(hive_lock_);
  // Follows "windows.velder.statistics_on" of the system hive and starts or
  // stops the statistics session accordingly.
  void UpdateStatistics(const std::optional<nlohmann::json>& old_flag) REQUIRES(hive_lock_);
  // The system hive's statistics flag as clients saw it before
  // `local_change`; none on any other hive.
  std::optional<nlohmann::json> StatisticsFlag(const OverlayUndo* local_change) REQUIRES(hive_lock_);
  void AppendStatisticsReport(nlohmann::json report) REQUIRES(hive_lock_);
  // Appends the present values of the local document at `key_paths` to the
  // change journal before a change is answered; false when that failed (the
  // caller then undoes the change). True when the hive has no journal.
  bool JournalLocal(const std::vector<std::vector<std::string>>& key_paths) REQUIRES(hive_lock_);

  // ---- Values (settings_values.cpp) ----

  uint32_t GetConstraintsLocked(const VelderPath::Path& path) REQUIRES(hive_lock_);
  uint32_t GetLocalConstraintsLocked(const VelderPath::Path& path) REQUIRES(hive_lock_);
  // False when the path lies at or below an admin-only path (or the list
  // cannot be read); otherwise true, with the admin-only paths below it.
  bool CheckAndGetAdminOnlyPathsDescendedFrom(const VelderPath::Path& path, std::vector<VelderPath::Path>& below)
      REQUIRES(hive_lock_);
  // True when a write at `path` by a non-administrator is refused outright
  // (at or below an admin-only path); otherwise `guarded` receives the
  // admin-only paths whose values the write could change: those below the
  // path, and for a path into an array every one in that array (an element
  // deleted shifts the ones after it).
  bool AdminOnlyRefuses(const VelderPath::Path& path, std::vector<VelderPath::Path>& guarded) REQUIRES(hive_lock_);
  // True when the effective document computed now differs at any of
  // `guarded` from what clients saw before the change, which did
  // `local_change` to "local".
  bool ChangesAnyOf(const std::vector<VelderPath::Path>& guarded, const OverlayUndo* local_change)
      REQUIRES(hive_lock_);
  // The write of one value into an overlay: arrays are always stored whole,
  // copied from the effective document, so an element can only be replaced.
  ResultCode WriteOverlay(const VelderPath::Path& path, const nlohmann::json& value, nlohmann::json& overlay,
                          std::vector<OverlayUndo>* undo, bool* changed) REQUIRES(hive_lock_);
  void Undo(std::vector<OverlayUndo>& undo) REQUIRES(hive_lock_);
  // Reads "local_admin_only"; false (with `error`) when it cannot be read.
  // Entries that are no valid path are skipped with a warning.
  bool ReadAdminOnlyPaths(std::vector<VelderPath::Path>& paths, std::string& error) REQUIRES(hive_lock_);

  // ---- Update cycle (settings_update_cycle.cpp) ----

  void SetNextUpdateCheckLocked(uint32_t code) REQUIRES(hive_lock_);
  // Due at once, also within the back-off floor of the last outcome.
  void DueNowLocked() REQUIRES(hive_lock_);
  // What follows every change of the schedule: the log line, "next_check"
  // in the metadata, the published times and the update loop's wake-up.
  void ScheduledLocked(const UpdateSchedule::Delays& delays) REQUIRES(hive_lock_);
  // Copies the schedule's times to the atomics the scheduler reads.
  void PublishScheduleLocked() REQUIRES(hive_lock_);
  // connected := the hive holds an etag; a disconnected hive has no push id
  // to report.
  void RefreshConnectedFlagLocked() REQUIRES(hive_lock_);
  // Ends the journal: with `take_journal` the uploaded "patch" is dropped and
  // what changed meanwhile becomes the next upload; then the connected flag
  // and the connection status are refreshed.
  void FinishUpdateJournalLocked(bool take_journal, bool connection_succeeded, bool update_succeeded)
      REQUIRES(hive_lock_);
  void WriteConnectionStatusLocked(bool connection_succeeded, bool update_succeeded) REQUIRES(hive_lock_);
  void ClearConnectionStatusLocked() REQUIRES(hive_lock_);
  // Writes `status` at "status.windows.velder" in "local" and rebuilds.
  void StoreConnectionStatus(const nlohmann::json& status) REQUIRES(hive_lock_);
  nlohmann::json ConnectionStatus() REQUIRES(hive_lock_);

  static int64_t Now();

  const bool is_system_hive_;
  const std::string user_;
  const std::string display_name_;
  const std::string identity_;
  Storage& storage_;
  ChangeSink& notifier_;
  platform::ManualResetEvent& update_event_;
  StatisticsSink* const statistics_;
  // Changes of the local document since the last save (null: journals off).
  // Used under the hive lock, and by Load before the hive is shared.
  const std::shared_ptr<ChangeJournal> journal_;

  // The disk lock: held while this hive's files are read or written, so that
  // two saves of one file never overtake each other and a reload never meets
  // a base document half replaced. Taken before the hive lock; the hive lock
  // is never held across file work.
  platform::Mutex disk_lock_ ACQUIRED_BEFORE(hive_lock_);
  bool loaded_ GUARDED_BY(disk_lock_) = false;  // the local file was read

  // The hive lock: guards the documents and everything below but the atomics.
  platform::Mutex hive_lock_;
  nlohmann::json effective_ GUARDED_BY(hive_lock_);
  nlohmann::json base_ GUARDED_BY(hive_lock_);
  nlohmann::json local_ GUARDED_BY(hive_lock_);  // null until the first load
  // Counts the changes of the local document, so that a save knows whether
  // the copy it wrote is still the whole truth.
  uint64_t local_version_ GUARDED_BY(hive_lock_) = 0;
  nlohmann::json update_journal_ GUARDED_BY(hive_lock_);
  bool exchange_running_ GUARDED_BY(hive_lock_) = false;       // between UpdateStart and UpdateEnd
  bool asked_during_exchange_ GUARDED_BY(hive_lock_) = false;  // UpdateNow or a push came meanwhile
  // The effective document may not match the documents (a new base waits for
  // its rebuild): the next write rebuilds it whole.
  bool effective_stale_ GUARDED_BY(hive_lock_) = true;
  UpdateSchedule schedule_ GUARDED_BY(hive_lock_);
  std::string pending_pns_id_ GUARDED_BY(hive_lock_);
  bool statistics_on_ GUARDED_BY(hive_lock_) = false;
  bool patch_enabled_ GUARDED_BY(hive_lock_) = true;
  // MarkDirty journals the whole document unless its caller already
  // journalled the change.
  bool journalled_ GUARDED_BY(hive_lock_) = false;

  // Written under the hive lock, read without it.
  std::atomic<int64_t> next_check_{0};
  std::atomic<int64_t> not_before_{0};
  std::atomic<bool> connected_{false};  // the hive has a server copy (an etag)
  std::atomic<bool> dirty_{false};
  std::atomic<int64_t> last_access_;
  std::atomic<bool> local_created_{false};

  // Guards the push registration only. Taken before the hive lock, never
  // while it is held: the push library may be calling into the hive (and
  // waiting for its lock) while it is asked to end the registration.
  platform::Mutex push_lock_ ACQUIRED_BEFORE(hive_lock_);
  uint32_t push_registration_ GUARDED_BY(push_lock_) = 0;  // 0: not registered
};
