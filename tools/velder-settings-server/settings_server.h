// The whole server: the database, the token service, the push hub, the fault
// injector, the HTTPS listener of the clients and the loopback listener of the
// administrator, each listener on a thread of its own.
//
// Start, then Wait until Stop is called (from any thread, e.g. a signal
// thread). Stop ends every push stream, shuts down every client connection
// and returns once nothing is being served.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "access_log.h"
#include "fault_injector.h"
#include "platform/mutex.h"
#include "push_hub.h"
#include "settings_database.h"
#include "tls_identity.h"
#include "token_service.h"

namespace httplib {
class Server;
class SSLServer;
}  // namespace httplib

namespace settings_server {

class AdminApi;
class SettingsApi;

struct ServerOptions {
  std::string listen = "0.0.0.0:8443";
  std::string adminListen = "127.0.0.1:8444";
  std::string dataDir;
  std::string certFile;
  std::string keyFile;
  int64_t tokenLifetimeSeconds = 3600;
  std::chrono::milliseconds keepAlive{15000};
  size_t maxConnections = 4096;
  size_t maxBodyBytes = 8 * 1024 * 1024;
  std::string accessLogFile;  // empty: standard error
};

// "HOST:PORT", "[V6]:PORT" or "PORT" (all addresses). False when malformed.
bool ParseListenAddress(const std::string& text, std::string& host, int& port);

// The data folder when none is given: /var/lib/velder-settings-server for
// root, else $XDG_STATE_HOME (or ~/.local/state) /velder-settings-server.
std::string DefaultDataDir();

// The file in the data folder that tells the admin command where the admin
// listener is and holds its token: {"url":..., "token":...}, mode 0600.
inline constexpr const char* kAdminFile = "admin.json";

class SettingsServer {
 public:
  explicit SettingsServer(ServerOptions options);
  ~SettingsServer();
  SettingsServer(const SettingsServer&) = delete;
  SettingsServer& operator=(const SettingsServer&) = delete;

  // Opens the data folder, prepares the certificate, binds both listeners and
  // starts serving. False with `error` set on failure.
  bool Start(std::string& error);
  void Stop();
  void Wait();

  const TlsIdentity& identity() const { return identity_; }
  const std::string& url() const { return url_; }
  const std::string& adminUrl() const { return adminUrl_; }
  const std::string& adminFile() const { return adminFile_; }

 private:
  bool PrepareAdminToken(std::string& error);

  ServerOptions options_;
  TlsIdentity identity_;
  std::string url_;
  std::string adminUrl_;
  std::string adminFile_;
  std::string adminToken_;

  std::FILE* accessLogFile_ = nullptr;
  std::unique_ptr<AccessLog> accessLog_;
  std::unique_ptr<SettingsDatabase> database_;
  std::unique_ptr<TokenService> tokens_;
  std::unique_ptr<PushHub> hub_;
  std::unique_ptr<FaultInjector> faults_;
  std::unique_ptr<SettingsApi> api_;
  std::unique_ptr<AdminApi> admin_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::unique_ptr<httplib::Server> adminServer_;
  std::thread serverThread_;
  std::thread adminThread_;
  std::thread flushThread_;  // writes client activity every half minute

  platform::Mutex stopMutex_;  // guards stopping_
  platform::CondVar stopWake_;
  bool stopping_ GUARDED_BY(stopMutex_) = false;
};

}  // namespace settings_server
