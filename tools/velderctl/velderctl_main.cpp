// velderctl: reads, writes and watches settings of the settings service from
// the command line. See --help, and exit_code.h for what the exit codes mean.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "platform/resource_limits.h"
#include "client/velder_client.h"
#include "tools/velderctl/commands.h"
#include "tools/velderctl/exit_code.h"

namespace {

constexpr char kDescription[] =
    "Reads, writes and watches settings of the settings service.\n"
    "Paths are dotted keys and array indices (app.window.0.width); \"\" is the whole document.";

}  // namespace

namespace {

// What the service allows one client; the numbers come from the one header
// that sets them.
std::string LimitsHelp() {
  namespace rl = resource_limits;
  return fmt::format(
      "\nLimits of the service (a client that reaches one gets 13, or its connection is closed,\n"
      "and the service's log names its pid and uid):\n"
      "  a value written: {} KiB; a user's local settings: {} MiB (13)\n"
      "  subscriptions per connection: {} (13)\n"
      "  connections per user: {} (root always has room; a further one is refused)\n"
      "  requests answered at once per connection: {}; a request frame: {} KiB\n"
      "  a frame begun must arrive, and what the service sends must be read, within {} s\n"
      "  a connection that neither sends nor watches is closed after {} s\n"
      "  a watcher that stops reading is closed once {} MiB of changes wait for it\n",
      rl::kMaxValueBytes / 1024, rl::kMaxLocalDocumentBytes / (1024 * 1024), rl::kMaxSubscriptionsPerChannel,
      rl::kMaxConnectionsPerUid, rl::kMaxRequestsInFlight, rl::kMaxRequestFrameBody / 1024,
      rl::kFrameTimeout.count() / 1000, rl::kIdleTimeout.count() / 1000,
      rl::kMaxQueuedNotificationBytes / (1024 * 1024));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "velderctl");
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(velderctl::ExitCodeHelp() + LimitsHelp());

  velderctl::GlobalOptions options;
  app.add_option("--user", options.user, "SID of the user whose settings are meant (default: your own)");
  app.add_flag("--json", options.json, "print results as JSON");
  app.add_option("--identity", options.identity,
                 std::string("identity of the service (default: $") + velder::kIdentityVariable + ", else \"" +
                     velder::kDefaultIdentity + "\")");
  app.add_option("--client", options.client_name, "name to show in the service's log lines")->capture_default_str();
  app.add_option("--timeout", options.timeout_ms, "milliseconds to wait for each answer, 0 for ever")
      ->capture_default_str();

  std::string path, value, type;
  std::vector<std::string> paths;
  auto* get = app.add_subcommand("get", "print the value at PATH");
  get->add_option("PATH", path, "setting path")->required();
  auto* set = app.add_subcommand("set", "write VALUE at PATH");
  set->add_option("PATH", path, "setting path")->required();
  set->add_option("VALUE", value,
                  "the value; without --type: true/false a boolean, an integer a number, a JSON object or array "
                  "itself, anything else a string")
      ->required();
  set->add_option("--type", type, "bool, int, string or json")->check(CLI::IsMember({"bool", "int", "string", "json"}));
  auto* rm = app.add_subcommand("rm", "delete the value at PATH");
  rm->add_option("PATH", path, "setting path")->required();
  auto* ls = app.add_subcommand("ls", "list the children of PATH (default: the whole document)");
  ls->add_option("PATH", path, "setting path");
  auto* meta = app.add_subcommand("meta", "print the type and the constraints of PATH");
  meta->add_option("PATH", path, "setting path")->required();
  auto* lock = app.add_subcommand("lock", "let only administrators write at or below PATH (administrators only)");
  lock->add_option("PATH", path, "setting path")->required();
  auto* unlock = app.add_subcommand("unlock", "remove the administrators-only mark of PATH (administrators only)");
  unlock->add_option("PATH", path, "setting path")->required();
  auto* watch = app.add_subcommand("watch", "print every change at or below the PATHs until interrupted");
  watch->add_option("PATH", paths, "setting paths (default: the whole document)");
  auto* sync = app.add_subcommand("sync", "ask for an exchange with the settings server now");
  auto* status = app.add_subcommand("status", "print the connection to the settings server");
  auto* users = app.add_subcommand("users", "list the users that have settings (administrators only)");
  auto* reload_base = app.add_subcommand(
      "reload-base", "apply the installation's late-bound system base file again (administrators only)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? velderctl::kExitSuccess : velderctl::kExitUsage;
  }

  velderctl::Commands commands(options, stdout, stderr);
  if (get->parsed()) return commands.Get(path);
  if (set->parsed()) return commands.Set(path, value, type);
  if (rm->parsed()) return commands.Remove(path);
  if (ls->parsed()) return commands.List(path);
  if (meta->parsed()) return commands.Meta(path);
  if (lock->parsed()) return commands.Lock(path);
  if (unlock->parsed()) return commands.Unlock(path);
  if (watch->parsed()) return commands.Watch(paths);
  if (sync->parsed()) return commands.Sync();
  if (status->parsed()) return commands.ShowStatus();
  if (users->parsed()) return commands.Users();
  if (reload_base->parsed()) return commands.ReloadBase();
  return velderctl::kExitUsage;
}
