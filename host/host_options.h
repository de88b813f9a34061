// The command line of velder-host and the defaults that let a bare
// `velder-host` run: from a build tree it takes the plug-in and the maker
// libraries from the build's lib folder and keeps its data in the build's
// var folder; installed, it takes them from the installation's library folder
// and keeps its data below /var/lib (root) or the user's state folder. An
// installed tree moved elsewhere (a DESTDIR, another prefix) still works: the
// library folder is looked for relative to velder-host first.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace host {

struct HostOptions {
  std::string plugin;    // the plug-in library
  std::string identity;  // the plug-in identity
  std::string data;      // the data folder (created when missing)
  std::string tool;      // the settings import tool; empty: none
  std::string import;    // a settings file to import at start; empty: none
  // The folder of the maker libraries when the build tree supplies them and
  // $HALVERN_LIB_DIR does not name one; empty otherwise.
  std::string library_dir;
};

// Where the defaults come from.
struct DefaultSources {
  std::string executable_dir;      // the folder of the running velder-host
  std::string installed_plugin;    // the installed plug-in library
  std::string relocated_plugin;    // the same, relative to velder-host; empty: none
  bool is_root = false;
  std::optional<std::string> state_home;  // $XDG_STATE_HOME
  std::optional<std::string> home;        // $HOME
  std::optional<std::string> library_dir_variable;  // $HALVERN_LIB_DIR
};

// The sources of this process.
DefaultSources CurrentDefaultSources();

// The options a bare command line means.
HostOptions DefaultHostOptions(const std::string& identity, const DefaultSources& sources);

// The identity velder-host runs when given none; what clients connect to.
inline constexpr char kDefaultIdentity[] = "velder";

enum class ParseOutcome { kRun, kExitOk, kUsageError };

// Parses the arguments (argv[0] included). kExitOk after --help or --version
// (the text is in `message`), kUsageError with the reason in `message`.
// Paths come back absolute.
ParseOutcome ParseHostOptions(const std::vector<std::string>& args, const DefaultSources& sources,
                              HostOptions& options, std::string& message);

// True for an identity the IPC library accepts as a name: 1 to 64 ASCII
// letters, digits, '_', '-' and '.', not beginning with '.'.
bool IsValidIdentity(const std::string& identity);

}  // namespace host
