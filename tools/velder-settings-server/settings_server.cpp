#include "settings_server.h"

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "admin_api.h"
#include "connection_threads.h"
#include "crypto_text.h"
#include "http_json.h"
#include "settings_api.h"

namespace settings_server {
namespace {

using json = nlohmann::json;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string UrlHost(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

// Registers each TLS connection's socket on its own thread, so that a stop
// can shut it down (see ConnectionThreads).
void OnTlsState(const SSL* ssl, int where, int) {
  if ((where & SSL_CB_HANDSHAKE_START) != 0) ConnectionThreads::RegisterSocket(SSL_get_fd(ssl));
}

// Hooks shared by both listeners: the access log, JSON error bodies, no crash
// on an exception.
void Configure(httplib::Server& server, AccessLog& log, const char* listener, size_t maxBody) {
  server.set_payload_max_length(maxBody);
  // Headers and body go out in separate writes; with Nagle the body would wait
  // for the client's delayed acknowledgement of the headers (40 ms).
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(1000);
  server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    BeginRequest();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty() || response.content_length_ > 0) return;
    switch (response.status) {
      case 404: return SetError(response, 404, "not_found", "no such resource");
      case 413: return SetError(response, 413, "too_large", "the request body is too large");
      case 405: return SetError(response, 405, "method_not_allowed", "method not allowed here");
      default: return SetError(response, response.status, "bad_request", "the request cannot be served");
    }
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    SetError(response, 500, "internal_error", "the request failed inside the server");
  });
  server.set_logger([&log, listener](const httplib::Request& request, const httplib::Response& response) {
    log.Write(listener, request, response);
    CurrentRequest() = RequestInfo{};
  });
}

}  // namespace

bool ParseListenAddress(const std::string& text, std::string& host, int& port) {
  std::string portText = text;
  host = "0.0.0.0";
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) return false;  // a bare IPv6 address needs brackets
    if (colon > 0) host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(portText);
  return port <= 65535 && !host.empty();
}

std::string DefaultDataDir() {
  if (::geteuid() == 0) return "/var/lib/velder-settings-server";
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/velder-settings-server";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/state/velder-settings-server";
}

SettingsServer::SettingsServer(ServerOptions options) : options_(std::move(options)) {}

SettingsServer::~SettingsServer() {
  Stop();
  Wait();
  if (accessLogFile_ != nullptr) std::fclose(accessLogFile_);
}

bool SettingsServer::PrepareAdminToken(std::string& error) {
  adminFile_ = (std::filesystem::path(options_.dataDir) / kAdminFile).string();
  // The token outlives restarts, so scripts and shells keep working.
  std::ifstream in(adminFile_);
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    json old = json::parse(text.str(), nullptr, false);
    if (old.is_object() && old.contains("token") && old["token"].is_string()) adminToken_ = old["token"];
  }
  if (adminToken_.empty()) adminToken_ = RandomText(32);
  const std::string content = json{{"url", adminUrl_}, {"token", adminToken_}}.dump() + "\n";
  const std::string temporary = adminFile_ + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
            ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  ok = ok && std::rename(temporary.c_str(), adminFile_.c_str()) == 0;
  if (!ok) error = "cannot write " + adminFile_;
  return ok;
}

bool SettingsServer::Start(std::string& error) {
  std::string host, adminHost;
  int port = 0, adminPort = 0;
  if (!ParseListenAddress(options_.listen, host, port)) {
    error = "--listen: expected HOST:PORT, [IPV6]:PORT or PORT";
    return false;
  }
  if (!ParseListenAddress(options_.adminListen, adminHost, adminPort) || !IsLoopback(adminHost)) {
    error = "--admin-listen: expected a loopback HOST:PORT (127.0.0.1, ::1 or localhost)";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(options_.dataDir, ec);
  std::filesystem::permissions(options_.dataDir, std::filesystem::perms::owner_all, ec);
  if (!PrepareTlsIdentity(options_.certFile, options_.keyFile, options_.dataDir, identity_, error)) return false;

  if (!options_.accessLogFile.empty()) {
    accessLogFile_ = std::fopen(options_.accessLogFile.c_str(), "ae");
    if (accessLogFile_ == nullptr) {
      error = "cannot open the access log " + options_.accessLogFile;
      return false;
    }
  }
  accessLog_ = std::make_unique<AccessLog>(accessLogFile_ != nullptr ? accessLogFile_ : stderr);
  const std::string dbFile = (std::filesystem::path(options_.dataDir) / "settings.db").string();
  database_ = SettingsDatabase::Open(dbFile, error);
  if (!database_) {
    error = dbFile + ": " + error;
    return false;
  }
  tokens_ = std::make_unique<TokenService>(*database_, options_.tokenLifetimeSeconds, Now);
  hub_ = std::make_unique<PushHub>(options_.keepAlive);
  faults_ = std::make_unique<FaultInjector>();
  api_ = std::make_unique<SettingsApi>(*database_, *tokens_, *hub_, *faults_, Now);

  server_ = std::make_unique<httplib::SSLServer>(identity_.certFile.c_str(), identity_.keyFile.c_str());
  if (!server_->is_valid()) {
    error = "cannot load the certificate " + identity_.certFile + " with the key " + identity_.keyFile;
    return false;
  }
  SSL_CTX_set_info_callback(server_->ssl_context(), OnTlsState);
  const size_t maxConnections = options_.maxConnections;
  server_->new_task_queue = [maxConnections] { return new ConnectionThreads(maxConnections); };
  Configure(*server_, *accessLog_, "api", options_.maxBodyBytes);
  api_->Register(*server_);
  const int boundPort = port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, port) ? port : -1);
  if (boundPort <= 0) {
    error = "cannot listen on " + options_.listen;
    return false;
  }
  url_ = "https://" + UrlHost(host) + ":" + std::to_string(boundPort);

  adminServer_ = std::make_unique<httplib::Server>();
  Configure(*adminServer_, *accessLog_, "admin", options_.maxBodyBytes);
  const int adminBound =
      adminPort == 0 ? adminServer_->bind_to_any_port(adminHost)
                     : (adminServer_->bind_to_port(adminHost, adminPort) ? adminPort : -1);
  if (adminBound <= 0) {
    error = "cannot listen on " + options_.adminListen;
    return false;
  }
  adminUrl_ = "http://" + UrlHost(adminHost) + ":" + std::to_string(adminBound);
  if (!PrepareAdminToken(error)) return false;
  admin_ = std::make_unique<AdminApi>(*database_, *hub_, *faults_, adminToken_, Now);
  admin_->Register(*adminServer_);

  serverThread_ = std::thread([this] { server_->listen_after_bind(); });
  adminThread_ = std::thread([this] { adminServer_->listen_after_bind(); });
  flushThread_ = std::thread([this] {
    for (;;) {
      {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        platform::MutexLock lock(stopMutex_);
        while (!stopping_ && stopWake_.WaitUntil(stopMutex_, deadline)) {
        }
        if (stopping_) return;
      }
      database_->FlushActivity();
    }
  });
  return true;
}

void SettingsServer::Stop() {
  {
    platform::MutexLock lock(stopMutex_);
    if (stopping_) return;
    stopping_ = true;
    stopWake_.NotifyAll();
  }
  if (hub_) {
    hub_->Shutdown();
    // Streams end with their closing chunk when they can; a client that does
    // not read is cut off below.
    hub_->WaitUntilEmpty(std::chrono::milliseconds(500));
  }
  if (api_) api_->Stop();
  if (server_) server_->stop();
  if (adminServer_) adminServer_->stop();
  // Idle keep-alive connections would otherwise linger until their time-out.
  ConnectionThreads::ShutdownAllSockets();
}

void SettingsServer::Wait() {
  if (serverThread_.joinable()) serverThread_.join();
  if (adminThread_.joinable()) adminThread_.join();
  if (flushThread_.joinable()) flushThread_.join();
  if (database_) database_->FlushActivity();
}

}  // namespace settings_server
