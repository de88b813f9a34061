// velder-update: imports settings from a file into the settings service and,
// when asked, removes the file once every value was accepted. The plug-in
// starts it as `velder-update --import "<file>" --remove`.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/velder_client.h"
#include "logging/log.h"
#include "tools/velder-update/import_document.h"
#include "tools/velder-update/settings_import.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitRefused = 1;
constexpr int kExitBadFile = 2;
constexpr int kExitService = 3;
constexpr int kExitNotRemoved = 4;
constexpr int kExitUsage = 64;

constexpr char kDescription[] =
    "Imports settings into the settings service as an ordinary client.\n"
    "\n"
    "The import file is one JSON object whose members are setting paths mapped to the values to write there:\n"
    "  {\"app.window.width\": 800, \"app.title\": \"Hello\"}\n"
    "A member whose value is a non-empty object is descended into and its members' names are appended to the\n"
    "path with a \".\": {\"app\": {\"window\": {\"width\": 800}}} writes app.window.width = 800 and leaves every\n"
    "other setting below app as it is. Any other value (number, string, boolean, array, empty object) is\n"
    "written whole at its path; null is refused. The values are written in the order of the file.\n"
    "\n"
    "Each refused value is reported on standard error as \"<path>: <reason>\"; the others are still written.\n"
    "With --remove the file is removed when every value was accepted; when some were refused it is renamed\n"
    "to \"<file>.refused\" and each refused path is logged as a warning in the service's log, so that the\n"
    "values accepted are never imported again (a service that imports the file at every start would\n"
    "otherwise undo later changes). Without --remove the file stays where it is.";

constexpr char kExitCodes[] =
    "Exit codes:\n"
    "  0   every value was accepted (and the file removed, with --remove)\n"
    "  1   the service refused one or more values; the file is kept (renamed to <file>.refused with --remove)\n"
    "  2   the file cannot be read or is not an import document; the file is kept\n"
    "  3   the service cannot be reached or the connection was lost; the file is kept\n"
    "  4   every value was accepted but the file could not be removed\n"
    "  64  bad command line";

// A refused import renamed out of the way, and the paths that were refused.
struct SetAside {
  std::string file;
  std::vector<std::string> paths;
};

int Run(const std::string& file, bool remove, const velder::ClientOptions& options, uint32_t wait_ms,
        SetAside* set_aside);

// The service's own log, where an administrator looks.
constexpr char kServiceLogComponent[] = "VelderPlugin";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "velder-update");
  app.footer(kExitCodes);
  std::string file;
  bool remove = false;
  velder::ClientOptions options;
  options.client_name = "velder-update";
  uint32_t wait_ms = 5000;
  app.add_option("--import", file, "the import file")->required();
  app.add_flag("--remove", remove, "remove the file once every value was accepted");
  app.add_option("--identity", options.identity,
                 std::string("identity of the service (default: $") + velder::kIdentityVariable + ", else \"" +
                     velder::kDefaultIdentity + "\")");
  app.add_option("--user", options.user, "SID of the user whose settings are written (default: your own)");
  app.add_option("--wait", wait_ms, "milliseconds to keep trying while the service is not listening yet")
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitSuccess : kExitUsage;
  }

  // Started by the service, the tool's standard streams lead nowhere: the
  // outcome goes to its log file beside the service's as well.
  HvQorLogging::LogInit(velder::ResolveIdentity(options.identity), "QOR", "VelderUpdate",
                        HvQorLogging::kInformation, 0);
  SetAside set_aside;
  const int rc = Run(file, remove, options, wait_ms, &set_aside);
  HvQorLogging::LogClose();
  if (!set_aside.file.empty()) {
    HvQorLogging::LogInit(velder::ResolveIdentity(options.identity), "QOR", kServiceLogComponent,
                          HvQorLogging::kInformation, 0);
    for (const std::string& path : set_aside.paths) {
      HV_LOG_WARNING("Import refused '{}'; the file is kept as '{}'", path, set_aside.file);
    }
    HvQorLogging::LogClose();
  }
  return rc;
}

namespace {

int Run(const std::string& file, bool remove, const velder::ClientOptions& options, uint32_t wait_ms,
        SetAside* set_aside) {
  std::vector<velder_update::ImportEntry> entries;
  std::string error;
  if (!velder_update::ReadImportFile(file, &entries, &error)) {
    fmt::print(stderr, "velder-update: {}\n", error);
    HV_LOG_ERROR("{}", error);
    return kExitBadFile;
  }
  HV_LOG_INFO("Importing {} values from '{}'", entries.size(), file);

  std::unique_ptr<velder::Client> client;
  const velder::Status connected = velder_update::ConnectWithRetry(
      options, std::chrono::milliseconds(wait_ms), std::chrono::milliseconds(100), &client);
  if (!connected.ok()) {
    fmt::print(stderr, "velder-update: cannot reach the settings service: {}; '{}' is kept\n", connected.Message(),
               file);
    HV_LOG_ERROR("Cannot reach the settings service: {}", connected.Message());
    return kExitService;
  }

  const velder_update::ImportOutcome outcome = velder_update::DeliverSettings(*client, entries);
  for (const velder_update::Refusal& r : outcome.refusals) {
    if (r.status.detail().empty()) {
      fmt::print(stderr, "{}: {}\n", r.path, r.status.Name());
    } else {
      fmt::print(stderr, "{}: {} ({})\n", r.path, r.status.Name(), r.status.detail());
    }
    HV_LOG_ERROR("Refused '{}': {}", r.path, r.status.Message());
  }
  if (!outcome.connection.ok()) {
    fmt::print(stderr, "velder-update: the connection to the settings service ended after {} of {} values: {}; "
               "'{}' is kept\n", outcome.accepted + outcome.refusals.size(), entries.size(),
               outcome.connection.Message(), file);
    HV_LOG_ERROR("Connection lost after {} values: {}", outcome.accepted + outcome.refusals.size(),
                 outcome.connection.Message());
    return kExitService;
  }
  if (!outcome.refusals.empty()) {
    std::string kept = file;
    if (remove) {
      // The accepted values must not be imported again: the file goes out
      // of the way, whole, for an administrator to look at.
      const std::string refused = file + ".refused";
      if (std::rename(file.c_str(), refused.c_str()) == 0) {
        kept = refused;
        set_aside->file = refused;
        for (const velder_update::Refusal& r : outcome.refusals) set_aside->paths.push_back(r.path);
      } else {
        const std::string why = std::strerror(errno);
        fmt::print(stderr, "velder-update: cannot rename '{}' to '{}': {}\n", file, refused, why);
        HV_LOG_ERROR("Cannot rename '{}' to '{}': {}", file, refused, why);
      }
    }
    fmt::print(stderr, "velder-update: {} of {} values refused; '{}' is kept\n", outcome.refusals.size(),
               entries.size(), kept);
    HV_LOG_ERROR("{} of {} values refused; '{}' is kept", outcome.refusals.size(), entries.size(), kept);
    return kExitRefused;
  }
  if (remove && std::remove(file.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    fmt::print(stderr, "velder-update: every value was accepted, but '{}' cannot be removed: {}\n", file, why);
    HV_LOG_ERROR("Cannot remove '{}': {}", file, why);
    return kExitNotRemoved;
  }
  HV_LOG_INFO("Imported {} values{}", entries.size(), remove ? ", file removed" : "");
  return kExitSuccess;
}

}  // namespace
