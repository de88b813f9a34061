// velder-host: the host service. Loads the settings plug-in, gives it its
// identity and data folder, runs it until SIGTERM or SIGINT, and passes
// SIGHUP on as host event category 2, code 18 (look for updates now).
//
// Exit codes: 0 after a clean stop; 1 when the plug-in cannot be loaded or
// initialised or its folder cannot be used; 2 for a bad command line.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "data_folder.h"
#include "host_options.h"
#include "plugin_host.h"
#include "service_manager.h"
#include "signal_watcher.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The host event that makes the plug-in look for updates at once.
constexpr uint32_t kWakeCategory = 2;
constexpr uint32_t kWakeCode = 18;

int Fail(const std::string& message) {
  std::cerr << "velder-host: " << message << "\n";
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every later thread inherits the mask.
  if (!host::BlockServiceSignals()) return Fail("cannot block the service signals");

  host::HostOptions options;
  std::string message;
  switch (host::ParseHostOptions(std::vector<std::string>(argv, argv + argc), host::CurrentDefaultSources(), options,
                                 message)) {
    case host::ParseOutcome::kExitOk: std::cout << message; return kExitOk;
    case host::ParseOutcome::kUsageError:
      std::cerr << "velder-host: " << message << "\nRun 'velder-host --help' for the usage.\n";
      return kExitUsage;
    case host::ParseOutcome::kRun: break;
  }
  // The delay loader of the plug-in looks for the maker libraries there.
  if (!options.library_dir.empty()) ::setenv("HALVERN_LIB_DIR", options.library_dir.c_str(), 0);
  // The import tool the plug-in starts is a client of this very service.
  ::setenv("VELDER_IDENTITY", options.identity.c_str(), 1);

  host::DataFolder data_folder;
  std::string error;
  if (!data_folder.Open(options.data, error)) return Fail(error);

  std::map<std::string, std::string> config = {
      {"DataPath", options.data}, {"ToolPath", options.tool}, {"ImportPath", options.import}};
  host::PluginHost plugin_host(options.identity, std::move(config));
  if (!plugin_host.Load(options.plugin, error)) return Fail("cannot load the plug-in: " + error);

  host::SignalWatcher watcher(
      [&plugin_host] {
        host::NotifyServiceManager("STOPPING=1");
        plugin_host.RequestStop();
      },
      [&plugin_host] { plugin_host.RaiseEvent(kWakeCategory, kWakeCode, nullptr); });
  if (!watcher.Start()) return Fail("cannot watch the service signals");

  const uint32_t initialized = plugin_host.Initialize();
  if (initialized != 0) {
    plugin_host.Uninitialize();
    watcher.Stop();
    plugin_host.Unload();
    return Fail("the plug-in did not start (" + std::to_string(initialized) + "); its log says why");
  }
  host::NotifyServiceManager("READY=1");
  std::cout << "velder-host: running '" << options.identity << "', data in '" << options.data << "'" << std::endl;

  const uint32_t ran = plugin_host.Run();
  plugin_host.Uninitialize();
  watcher.Stop();
  plugin_host.Unload();
  if (ran != 0) return Fail("the plug-in stopped with " + std::to_string(ran));
  std::cout << "velder-host: stopped" << std::endl;
  return kExitOk;
}
