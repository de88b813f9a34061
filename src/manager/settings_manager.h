// The settings manager: the centre of the service.
//
// It answers every client request (which hive, which rights, one handler per
// message type, statistics and a log line per request), holds the hives (one
// per user, created on first use and dropped when inactive), decides when each
// hive is next synchronised with the settings server, reads the system
// settings that configure the server connection, and runs the periodic worker
// that saves changed hives.
//
// Ownership: owns the change notifier, the server connection, the token
// source, the statistics and the wake event; borrows the storage and the stop
// event (the plug-in's), which must outlive it. Hives borrow the storage, the
// notifier, the wake event and the statistics; the manager releases its hives
// first when it is destroyed.
//
// Threads:
//   - MainLoop runs on the caller's thread (the host's Run): the update loop,
//     which sleeps in poll until the earliest due hive, the end of the server
//     back-off, the wake event or the stop event, then synchronises one hive;
//   - the worker thread (PeriodicWorkLoop) every 15 seconds saves dirty hives
//     and drops inactive ones, and once more when the stop event is set;
//   - HandleRequest runs on IPC library threads, several at a time;
//   - Wake and UpdateSystemBaseFile may be called from any thread.
//
// Lock order. The service's locks, and which may be taken while which is
// held; a lock not named under another is never taken while that one is held.
// The rule behind it: a lock is held for memory work only, never while
// waiting for a disk, a server or a client, so that one slow hive, file or
// client stalls nobody else.
//
//   1. The manager lock (mutex_): the hive list and the hives being loaded.
//      Nothing is taken under it; a hive is only looked at through the
//      atomics it publishes. Hives are found here and then created, loaded,
//      saved, scheduled and dropped with it released, on copies of the list.
//   2. A hive's disk lock: this hive's file work (a save, a reload, a new
//      base document), so that two saves of one file keep their order. Taken
//      with no other lock held; under it the hive lock, briefly (to copy the
//      document that is written, or to take what was read), and the storage's
//      file marks.
//   3. A hive's push lock: its push registration. Never taken under the hive
//      lock: ending a registration waits for a running push callback, and a
//      callback takes the hive lock.
//   4. A hive's lock: its documents. Under it: the notifier lock (changes are
//      only queued), the statistics lock, the change journal's lock and, once
//      that is released, the journal sync thread's queue lock; never another
//      hive's lock, never file or network waits.
//   5. The notifier's lock: its queue and subscriptions (its thread lock comes
//      before it). Nothing but the logger under it; the notifier's thread
//      sends with no lock held.
//   6. The statistics lock: sessions and their counts; nothing under it.
//   7. The storage's file lock: marks one file busy for one operation; a file
//      busy with a slow write holds up that file only.
//   8. Server and HTTP locks (the server connection's address, the HTTP
//      session and its requests, the certificate verifier, the proxy
//      resolver): nothing of ours under them; a hive operation runs with none
//      of them held, and no hive lock is held while a request is awaited.
//   9. IPC locks: the IPC library's own. It calls the plug-in with none of
//      them held, and the notifier sends with no lock of ours held.
//  10. The logger's lock and its cross-process log mutex: the innermost. Any
//      lock may be held while logging; logging takes no other.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "manager/statistics.h"
#include "manager/token_source.h"
#include "notify/change_notifier.h"
#include "platform/manual_reset_event.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "server/server_comm.h"
#include "store/request_context.h"
#include "store/settings.h"
#include "store/storage.h"
#include "wire/ipc_message.h"

class SettingsManager {
 public:
  // The name with which the service introduces itself to the server.
  static constexpr char kUserAgent[] = "QOR VELDER/2.1.4 (Windows)";
  // System settings, read from the system hive under the product "tarn".
  static constexpr char kPollIntervalSetting[] = "windows.velder.poll_interval";
  static constexpr char kServerSetting[] = "windows.velder.server";
  static constexpr char kPortSetting[] = "windows.velder.port";
  static constexpr char kPatchEnabledSetting[] = "windows.velder.patch_enabled";
  // GetNextWait's answer when nothing is scheduled: wait for an event only.
  static constexpr std::chrono::milliseconds kInfiniteWait{-1};
  // How long the worker sleeps between two passes.
  static constexpr std::chrono::milliseconds kWorkerPeriod{15000};

  // `storage` and `stop_event` must outlive the manager; `notifier` becomes
  // the manager's. The server connection is made here (port 443, kUserAgent).
  SettingsManager(Storage& storage, std::unique_ptr<ChangeNotifier> notifier, platform::ManualResetEvent& stop_event,
                  std::string identity);
  // The same with a server connection and a token source of the caller's
  // making (tests); null takes the service's own.
  SettingsManager(Storage& storage, std::unique_ptr<ChangeNotifier> notifier, platform::ManualResetEvent& stop_event,
                  std::string identity, std::unique_ptr<ServerComm> server_comm,
                  std::unique_ptr<TokenSource> tokens = nullptr);
  // Saves every dirty hive (a request served after the main loop's last pass
  // would otherwise be lost), then releases the hives before what they borrow.
  // MainLoop must have returned: the worker thread has ended by then.
  virtual ~SettingsManager();
  SettingsManager(const SettingsManager&) = delete;
  SettingsManager& operator=(const SettingsManager&) = delete;

  // ---- Request handling (request_handlers.cpp) ----

  // Answers one request envelope from a client whose SID text is
  // `client_user` (upper case; from the kernel, never from the request),
  // administrator or not, that sent it on `sender_channel`. Fills `response`
  // and returns true, or returns false when no response is to be sent (a
  // request without a namespace).
  bool HandleRequest(const IpcMessage& request, IpcMessage& response, const std::string& client_user, bool is_admin,
                     const std::string& sender_channel) EXCLUDES(mutex_);

  // The hive of `user`, created (its files loaded) when there is none; null
  // for a text that is no SID, or when the load failed. The load runs without
  // the manager lock; a request for the same user meanwhile waits for it.
  // Counts as a use of the hive.
  virtual std::shared_ptr<Settings> GetOrCreateHive(const std::string& user) EXCLUDES(mutex_);

  // ---- Scheduling and the worker (settings_manager.cpp) ----

  // Runs the update loop until the stop event is set (see the class comment);
  // returns after the notifier and worker threads ended and the hives were
  // processed a last time.
  virtual void MainLoop() EXCLUDES(mutex_);
  // Cuts the current update wait short.
  virtual void Wake();
  // How long the update loop may sleep, and which hive is due after it (null
  // when none is). Resets the wake event first, so that a wake coming after
  // the computation ends the wait that follows.
  virtual std::chrono::milliseconds GetNextWait(std::shared_ptr<Settings>& due_hive) EXCLUDES(mutex_);
  // One synchronisation of `hive` with the server: token, system settings,
  // exchange, and what its outcome asks for.
  virtual void UpdateSettings(const std::shared_ptr<Settings>& hive) EXCLUDES(mutex_);
  // Takes the system hive's late-bound base file, when there is one and the
  // system hive has no server copy. True when it was applied.
  virtual bool UpdateSystemBaseFile() EXCLUDES(mutex_);
  // Applies the configured poll interval to every hive; hives without a
  // server copy reload their (possibly system) base first.
  virtual void RescheduleNextUpdateCheck() EXCLUDES(mutex_);

  // ---- System settings (system_settings.cpp) ----

  // The effective value at `path_text` of the system hive, read as a reader
  // of the product `name_space` (lower-cased). False when there is none.
  virtual bool InternalGetSystemSetting(std::string_view name_space, std::string_view path_text,
                                        nlohmann::json& value) EXCLUDES(mutex_);
  // A number or boolean as a 32-bit integer (fractions truncated); anything
  // else, or a number beyond 32 bits, gives `default_value` (logged).
  virtual int32_t InternalGetSystemSettingInt(std::string_view name_space, std::string_view path_text,
                                              int32_t default_value) EXCLUDES(mutex_);
  // A boolean; anything else gives `default_value` (logged).
  virtual bool InternalGetSystemSettingBool(std::string_view name_space, std::string_view path_text,
                                            bool default_value) EXCLUDES(mutex_);
  // A text; empty when there is none or it is no text.
  virtual std::string InternalGetSystemSettingString(std::string_view name_space, std::string_view path_text)
      EXCLUDES(mutex_);

  // ---- The worker ----

  // Saves every dirty hive (the system hive files its statistics report first).
  virtual void ProcessHives() EXCLUDES(mutex_);
  // Drops the hives that are inactive, unused and saved, keeping the order of
  // the others. Asks the hives without the manager lock.
  virtual void RemoveInactiveHives() EXCLUDES(mutex_);

  // ---- Accessors ----

  ServerComm& server_comm() { return *server_comm_; }
  ChangeNotifier& notifier() { return *notifier_; }
  Statistics& statistics() { return statistics_; }
  platform::ManualResetEvent& wake_event() { return wake_event_; }
  const std::string& identity() const { return identity_; }
  // A copy of the hive vector, in creation order (hives still loading are
  // not in it).
  std::vector<std::shared_ptr<Settings>> Hives() EXCLUDES(mutex_);
  // Makes the worker sleep `period` between passes instead of kWorkerPeriod.
  // Only before MainLoop (tests).
  void SetWorkerPeriodForTesting(std::chrono::milliseconds period) { worker_period_ = period; }

 protected:
  // Makes and loads a new hive of `user`, without the manager lock.
  virtual std::shared_ptr<Settings> CreateHive(const std::string& user) EXCLUDES(mutex_);

  // Dispatches one request whose read right is settled, measures it and
  // writes the per-request log line.
  void HandleRequestByType(Settings& hive, const IpcMessage& request, IpcMessage& response,
                           const RequestContext& context, const std::string& sender_channel) EXCLUDES(mutex_);

  // The worker thread.
  virtual void PeriodicWorkLoop() EXCLUDES(mutex_);

 private:
  // ---- Request dispatch (request_handlers.cpp) ----

  // The rights a request type needs (bits of Route::needs).
  enum Right : uint8_t { kRead = 1, kWrite = 2, kAdmin = 4 };
  // What a handler works on: the addressed hive, the request, the response
  // (whose value it may set; the result is its return value), the caller's
  // rights and the channel the request came on.
  struct Call {
    Settings& hive;
    const IpcMessage& request;
    IpcMessage& response;
    const RequestContext& context;
    const std::string& sender_channel;
  };
  // One row of the dispatch table: message type, rights, handler.
  struct Route;
  // The row of `type`; null for a type no client may send.
  static const Route* FindRoute(MessageType type);
  // The route's handler when the caller holds its rights; AccessDenied or
  // InvalidParameters otherwise.
  ResultCode Dispatch(const Call& call) EXCLUDES(mutex_);

  ResultCode HandleAccessCheck(const Call& call);
  ResultCode HandleGetValue(const Call& call);
  ResultCode HandleSetValue(const Call& call);
  ResultCode HandleDeleteValue(const Call& call);
  ResultCode HandleGetMetaData(const Call& call);
  ResultCode HandleSetMetaData(const Call& call);
  ResultCode HandleEnumerate(const Call& call);
  ResultCode HandleEnumerateUsers(const Call& call);
  ResultCode HandleSubscribe(const Call& call) EXCLUDES(mutex_);
  ResultCode HandleUnsubscribe(const Call& call) EXCLUDES(mutex_);
  ResultCode HandleUnsubscribeAll(const Call& call) EXCLUDES(mutex_);
  ResultCode HandleSynchronize(const Call& call);
  ResultCode HandleCheckConnected(const Call& call);
  ResultCode HandleLogout(const Call& call);

  Storage& storage_;
  platform::ManualResetEvent& stop_event_;  // the plug-in's; waited for, never reset here
  const std::string identity_;
  // Signalled by Wake and by every hive whose next check changes; reset by
  // GetNextWait under mutex_.
  platform::ManualResetEvent wake_event_;
  // Set when a hive's connected flag changed: the worker registers or drops
  // its push stream now rather than at its next round.
  platform::ManualResetEvent worker_wake_event_;
  std::unique_ptr<ChangeNotifier> notifier_;
  std::unique_ptr<ServerComm> server_comm_;
  std::unique_ptr<TokenSource> tokens_;
  // When a client without administrator rights last reset the server
  // back-off (seconds since 1970): they may do so once a minute, so that no
  // user can make the service hammer the settings server.
  std::atomic<int64_t> last_user_backoff_reset_{std::numeric_limits<int64_t>::min()};
  static constexpr int64_t kUserBackoffResetInterval = 60;
  Statistics statistics_;
  std::chrono::milliseconds worker_period_ = kWorkerPeriod;

  // The manager lock: guards the hive vector and the users whose hives are
  // being loaded. Declared after everything the hives borrow, and the hives
  // after it, so that the hives go first when the manager is destroyed.
  platform::Mutex mutex_;
  std::vector<std::shared_ptr<Settings>> hives_ GUARDED_BY(mutex_);
  // Users whose hive a request is loading; a request for one of them waits
  // for `loaded_` instead of loading the hive a second time.
  std::set<std::string> loading_ GUARDED_BY(mutex_);
  platform::CondVar loaded_;

  // The worker thread; runs only while MainLoop runs. Used by MainLoop only.
  std::jthread worker_;
};
