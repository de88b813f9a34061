// velder-settings-server: a small HTTPS settings server for trials, demos and
// tests, and (`admin ...`) the command line of its administration API.
#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <thread>

#include "admin_cli.h"
#include "settings_server.h"

namespace {

constexpr char kDescription[] =
    "A small HTTPS settings server: serves settings documents with ETags, bearer tokens and push streams\n"
    "to the settings service of a few machines, and misbehaves on purpose when told to.";

// Push streams hold a descriptor each; the default soft limit of 1024 is too few.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "velder-settings-server");
  settings_server::ServerOptions options;
  options.dataDir = settings_server::DefaultDataDir();
  int64_t keepAliveSeconds = 15;
  app.add_option("--listen", options.listen, "HOST:PORT, [IPV6]:PORT or PORT of the HTTPS listener (port 0: any)")
      ->capture_default_str();
  app.add_option("--admin-listen", options.adminListen, "loopback HOST:PORT of the admin listener (port 0: any)")
      ->capture_default_str();
  app.add_option("--data", options.dataDir, "data folder: database, certificate, admin.json")->capture_default_str();
  app.add_option("--cert", options.certFile, "PEM certificate (chain) of the server; default: a self-signed one");
  app.add_option("--key", options.keyFile, "PEM private key of --cert");
  app.add_option("--token-lifetime", options.tokenLifetimeSeconds, "seconds a bearer token is valid")
      ->check(CLI::Range(int64_t{1}, int64_t{30} * 24 * 3600))
      ->capture_default_str();
  app.add_option("--keep-alive", keepAliveSeconds, "seconds between keep-alive comments on idle push streams")
      ->check(CLI::Range(int64_t{1}, int64_t{15}))
      ->capture_default_str();
  app.add_option("--max-connections", options.maxConnections, "connections served at once (push streams included)")
      ->check(CLI::Range(size_t{16}, size_t{100000}))
      ->capture_default_str();
  app.add_option("--max-body", options.maxBodyBytes, "largest request body in bytes (larger: 413)")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30))
      ->capture_default_str();
  app.add_option("--access-log", options.accessLogFile, "append the access log to this file (default: stderr)");
  settings_server::AdminCli admin(app);
  CLI11_PARSE(app, argc, argv);
  if (admin.Selected()) return admin.Run();
  options.keepAlive = std::chrono::seconds(keepAliveSeconds);

  // Signals are taken by one thread with sigwait; every other thread
  // (started below) inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();

  settings_server::SettingsServer server(options);
  std::string error;
  if (!server.Start(error)) {
    fmt::print(stderr, "velder-settings-server: {}\n", error);
    return 1;
  }
  const auto& identity = server.identity();
  fmt::print("Data folder: {}\n", options.dataDir);
  fmt::print("Certificate: {}{}\n", identity.certFile, identity.generated ? " (self-signed, generated now)" : "");
  fmt::print("SHA-256 fingerprint: {}\n", identity.fingerprint);
  fmt::print("Listening on {}\n", server.url());
  fmt::print("Administration on {} (token in {})\n", server.adminUrl(), server.adminFile());
  std::fflush(stdout);

  std::thread signals([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();
  });
  server.Wait();
  // Wait returns only after Stop, which only the signal thread calls.
  signals.join();
  fmt::print("Stopped.\n");
  return 0;
}
