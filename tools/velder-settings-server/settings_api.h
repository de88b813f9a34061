// The client side of the server on the HTTPS listener: the settings protocol
//
//   GET   /velder/client-api/v3/clients/me/products/{product}/settings
//   PATCH /velder/client-api/v3/clients/me/products/{product}/settings[?return-data=true]
//   PATCH /velder/client-api/v3/clients/me/products/{product}/node
//
// the token exchange (POST /velder/auth/v1/token) and the push stream
// (GET /velder/push/v1/stream). Every request first meets the fault injector.
//
// Handlers run on the listener's connection threads; everything they share is
// thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "fault_injector.h"
#include "platform/mutex.h"
#include "push_hub.h"
#include "settings_database.h"
#include "token_service.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace settings_server {

class SettingsApi {
 public:
  using Clock = std::function<int64_t()>;  // seconds since 1970

  SettingsApi(SettingsDatabase& database, TokenService& tokens, PushHub& hub, FaultInjector& faults, Clock clock);

  void Register(httplib::Server& server);
  // Ends injected delays at once (the server is stopping).
  void Stop();

  // The push message that makes a client fetch its settings now.
  static nlohmann::json RefreshMessage();

  // The size of the body of an "oversize" fault: just over what a client
  // accepts (5 MiB).
  static constexpr size_t kOversizeBytes = 5 * 1024 * 1024 + 64 * 1024;

 private:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&, bool forceBody)>;
  // Applies an armed fault, then (unless the fault answered) the handler;
  // `forceBody` asks for a full 200 answer that a body fault can spoil.
  void Serve(RequestKind kind, const httplib::Request& request, httplib::Response& response, const Handler& handler);
  void ApplyBodyFault(const Fault& fault, httplib::Response& response) const;
  bool Authenticate(const httplib::Request& request, httplib::Response& response, ClientRecord& client);
  bool FindProduct(const httplib::Request& request, httplib::Response& response, std::string& name,
                   ProductRecord& product);

  void GetSettings(const httplib::Request& request, httplib::Response& response, bool forceBody);
  void PatchSettings(const httplib::Request& request, httplib::Response& response, bool forceBody);
  void PatchNode(const httplib::Request& request, httplib::Response& response);
  void PostToken(const httplib::Request& request, httplib::Response& response);
  void GetStream(const httplib::Request& request, httplib::Response& response);

  SettingsDatabase& database_;
  TokenService& tokens_;
  PushHub& hub_;
  FaultInjector& faults_;
  Clock clock_;

  platform::Mutex stopMutex_;  // guards stopping_
  platform::CondVar stopWake_;
  bool stopping_ GUARDED_BY(stopMutex_) = false;
};

}  // namespace settings_server
