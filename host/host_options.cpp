#include "host_options.h"

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr char kPluginFile[] = "libvelder_plugin.so";
constexpr char kIpcLibraryFile[] = "libhv_qor_ipc.so";
constexpr char kToolFile[] = "velder-update";

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0') return std::nullopt;
  return std::string(value);
}

std::string Absolute(const std::string& path) {
  if (path.empty()) return path;
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

}  // namespace

DefaultSources CurrentDefaultSources() {
  DefaultSources sources;
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (!error) sources.executable_dir = executable.parent_path().string();
  sources.installed_plugin = fs::path(VELDER_INSTALLED_LIB_DIR) / kPluginFile;
  constexpr std::string_view kFromBin = VELDER_LIB_DIR_FROM_BIN;
  constexpr std::string_view kOrigin = "$ORIGIN/";
  if (!sources.executable_dir.empty() && kFromBin.starts_with(kOrigin)) {
    sources.relocated_plugin =
        (fs::path(sources.executable_dir) / kFromBin.substr(kOrigin.size()) / kPluginFile).lexically_normal().string();
  }
  sources.is_root = ::geteuid() == 0;
  sources.state_home = Variable("XDG_STATE_HOME");
  sources.home = Variable("HOME");
  sources.library_dir_variable = Variable("HALVERN_LIB_DIR");
  return sources;
}

HostOptions DefaultHostOptions(const std::string& identity, const DefaultSources& sources) {
  HostOptions options;
  options.identity = identity;
  const fs::path bin = sources.executable_dir;
  const fs::path build_lib = bin.empty() ? fs::path() : (bin.parent_path() / "lib").lexically_normal();
  const bool in_build_tree = !bin.empty() && Exists(build_lib / kPluginFile);

  const bool relocated = !in_build_tree && !sources.relocated_plugin.empty() && Exists(sources.relocated_plugin);

  options.plugin = in_build_tree ? (build_lib / kPluginFile).string()
                   : relocated   ? sources.relocated_plugin
                                 : sources.installed_plugin;
  if (in_build_tree && !sources.library_dir_variable && Exists(build_lib / kIpcLibraryFile)) {
    options.library_dir = build_lib.string();
  }
  // The plug-in's delay loader only knows the folder fixed at build time.
  if (relocated && !sources.library_dir_variable) {
    options.library_dir = fs::path(sources.relocated_plugin).parent_path().string();
  }
  if (!bin.empty()) options.tool = (bin / kToolFile).string();

  if (in_build_tree) {
    options.data = (bin.parent_path() / "var" / identity).lexically_normal().string();
  } else if (sources.is_root) {
    options.data = (fs::path("/var/lib/halvern") / identity).string();
  } else if (sources.state_home && sources.state_home->front() == '/') {
    options.data = (fs::path(*sources.state_home) / "halvern" / identity).string();
  } else if (sources.home && sources.home->front() == '/') {
    options.data = (fs::path(*sources.home) / ".local/state/halvern" / identity).string();
  }
  return options;
}

bool IsValidIdentity(const std::string& identity) {
  if (identity.empty() || identity.size() > 64 || identity.front() == '.') return false;
  for (const char c : identity) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

ParseOutcome ParseHostOptions(const std::vector<std::string>& args, const DefaultSources& sources,
                              HostOptions& options, std::string& message) {
  CLI::App app("velder-host: runs the settings service plug-in until SIGTERM or SIGINT; SIGHUP asks it to look "
               "for server updates at once.",
               "velder-host");
  std::string plugin, identity = kDefaultIdentity, data, tool, import;
  app.add_option("--plugin", plugin, "the plug-in library (default: the build's or the installed one)");
  app.add_option("--identity", identity, "the plug-in identity (default: velder)");
  app.add_option("--data", data, "the data folder, created when missing");
  app.add_option("--tool", tool, "the settings import tool (default: velder-update beside velder-host)");
  app.add_option("--import", import, "a settings file for the import tool to import, then remove");
  app.set_version_flag("--version", "velder-host " VELDER_HOST_VERSION);

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (!reversed.empty()) reversed.pop_back();  // the program name
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    message = app.help();
    return ParseOutcome::kExitOk;
  } catch (const CLI::CallForVersion&) {
    message = std::string("velder-host ") + VELDER_HOST_VERSION + "\n";
    return ParseOutcome::kExitOk;
  } catch (const CLI::ParseError& e) {
    message = e.what();
    return ParseOutcome::kUsageError;
  }
  if (!IsValidIdentity(identity)) {
    message = "the identity '" + identity +
              "' is not 1 to 64 letters, digits, '_', '-' or '.' (not beginning with '.')";
    return ParseOutcome::kUsageError;
  }

  options = DefaultHostOptions(identity, sources);
  if (!plugin.empty()) options.plugin = plugin;
  if (!data.empty()) options.data = data;
  if (!tool.empty()) options.tool = tool;
  options.import = import;
  if (options.data.empty()) {
    message = "no data folder: give --data (neither $XDG_STATE_HOME nor $HOME names one)";
    return ParseOutcome::kUsageError;
  }
  options.plugin = Absolute(options.plugin);
  options.data = Absolute(options.data);
  options.tool = Absolute(options.tool);
  // A service manager may hand the import path over already quoted; the
  // plug-in quotes it again for the tool's command line.
  if (options.import.size() >= 2 && options.import.front() == '"' && options.import.back() == '"') {
    options.import = options.import.substr(1, options.import.size() - 2);
  }
  options.import = Absolute(options.import);
  return ParseOutcome::kRun;
}

}  // namespace host
