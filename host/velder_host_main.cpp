// velder-host: the host service. Loads the settings plug-in, gives it its
// identity and data folder, runs it until SIGTERM or SIGINT, and passes
// SIGHUP on as host event category 2, code 18 (look for updates now).
//
// Exit codes: 0 after a clean stop; 1 when the plug-in cannot be loaded or
// initialised or its folder cannot be used; 2 for a bad command line.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "data_folder.h"
#include "platform/resource_limits.h"
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

// Every client connection costs a descriptor; the default soft limit of 1024
// would let a few users' connections lock everybody out. Raised towards
// kDescriptorLimit as far as the hard limit allows (root may raise that too).
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = resource_limits::kDescriptorLimit;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= wanted) return;
  rlimit raised = limit;
  raised.rlim_cur = wanted;
  if (raised.rlim_max != RLIM_INFINITY && raised.rlim_max < wanted) raised.rlim_max = wanted;
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
  raised = limit;
  raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(limit.rlim_max, wanted);
  if (raised.rlim_cur > limit.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
    std::cerr << "velder-host: cannot raise the descriptor limit above " << limit.rlim_cur << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every later thread inherits the mask.
  if (!host::BlockServiceSignals()) return Fail("cannot block the service signals");
  RaiseDescriptorLimit();

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
