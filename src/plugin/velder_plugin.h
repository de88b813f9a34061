// The settings service as a plug-in of the host service.
//
// Owns the stop event, the IPC server, the storage and the settings manager
// (which owns the change notifier and the server connection). Start:
// PluginInitialize opens the log, loads the maker libraries, creates the
// storage and the manager, copies the system's late-bound base file, starts
// the IPC server (requests are served from then on, before PluginMain) and
// listens to the host's wake event. PluginMain runs the manager's main loop
// until PluginStop sets the stop event. PluginUninitialize stops the IPC
// server (no callback runs after that) and destroys the manager, then the
// storage. Nothing of the plug-in runs after PluginUninitialize: no thread,
// no callback, so the host may unload the library.
//
// Threads: the host calls PluginInitialize, PluginMain and
// PluginUninitialize one after the other, PluginStop from another thread.
// HandleMessage runs on the IPC library's threads, several at a time, only
// while the server runs. Host events arrive on host threads at any time;
// manager_mutex_ lets the wake handler reach the manager only while it lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "manager/settings_manager.h"
#include "platform/manual_reset_event.h"
#include "platform/mutex.h"
#include "plugin/hoster_plugin.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "store/storage.h"

class VelderPlugin : public HvHosterPlugin {
 public:
  // The IPC service the plug-in runs, and how.
  static constexpr char kServiceName[] = "VELDER_SERVICE";
  static constexpr uint32_t kServerFlags = HV_IPC_SERVER_DEFAULT_FLAGS;
  // The host event that cuts the manager's update wait short.
  static constexpr uint32_t kWakeCategory = 2;
  static constexpr uint32_t kWakeCode = 18;
  // What the version line reports.
  static constexpr char kVersion[] = "2.1.4";
  static constexpr char kBuildDate[] = "Oct 28 2020";
  static constexpr char kBuildTime[] = "09:49:40";

  // Creates the stop event (not set).
  VelderPlugin();
  // Tears down what PluginUninitialize would, when the host did not call it.
  ~VelderPlugin() override;

  // 0 when the service is running its IPC server; 1 when the libraries cannot
  // be loaded, the host gives no usable "DataPath" or the IPC server cannot
  // start. Objects created before a failure stay until PluginUninitialize; a
  // second call first releases what an earlier one left.
  uint32_t PluginInitialize() override;
  // Runs the manager's main loop until the stop event is set; 0, or 1 when
  // the plug-in was not initialised.
  uint32_t PluginMain() override;
  void PluginUninitialize() override;
  void PluginStop() override;

  // The IPC library's message callback; `context` is the plug-in. 0 when the
  // message was handled.
  static uint32_t HandleMessage(uint32_t kind, const uint8_t* bytes, uint32_t count, HvIpcMessage* message,
                                void* context);
  // Answers one request envelope: 0 when a response was set, 1 when the bytes
  // are no envelope or the manager gives no response.
  uint32_t HandleStandardMessage(const uint8_t* bytes, uint32_t count, HvIpcMessage* message, bool is_admin);

  // The parts the plug-in owns; null outside an initialisation.
  SettingsManager* manager() { return manager_.get(); }
  Storage* storage() { return storage_.get(); }
  platform::ManualResetEvent& stop_event() { return *stop_event_; }

 protected:
  // Loads the IPC, push and proxy-resolver libraries, in this order, through
  // the delay loader. False (logged) at the first that fails.
  virtual bool DelayLoadLibraries();
  // Starts the settings import tool on the host's "ImportPath", when there is one.
  virtual void ImportSettings();

 private:
  // Kind 2: re-read the system's late-bound base file (administrators only).
  uint32_t HandleUpdateLateboundMessage(HvIpcMessage* message, bool is_admin);
  // A host event of the wake category.
  void OnWakeEvent(uint32_t code) EXCLUDES(manager_mutex_);
  // Stops the IPC server, then destroys the manager and the storage.
  void ReleaseObjects() EXCLUDES(manager_mutex_);

  std::unique_ptr<platform::ManualResetEvent> stop_event_;
  HvIpcServer* server_ = nullptr;
  std::unique_ptr<Storage> storage_;
  // Read by HandleMessage without a lock: it is only set while no IPC server
  // runs.
  std::unique_ptr<SettingsManager> manager_;
  bool wake_handler_added_ = false;

  // Guards wake_target_, the manager as the host's event threads see it.
  platform::Mutex manager_mutex_;
  SettingsManager* wake_target_ GUARDED_BY(manager_mutex_) = nullptr;
};
