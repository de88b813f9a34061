// The administration API, on its own plain-HTTP listener bound to a loopback
// address. Every request needs "Authorization: Bearer <admin token>" (the
// token is in the data folder's admin.json, readable by its owner only).
//
//   GET    /admin/v1/status
//   GET    /admin/v1/machines                POST {"name":...} -> {"name","enrolment_secret"}
//   DELETE /admin/v1/machines/{name}
//   GET    /admin/v1/products                GET|DELETE /admin/v1/products/{p}
//   GET|PUT /admin/v1/products/{p}/schema    (PUT creates the product)
//   GET|PUT|PATCH /admin/v1/products/{p}/values     (PATCH: a JSON merge patch)
//   GET    /admin/v1/clients
//   GET|PUT|PATCH /admin/v1/clients/{machine}/{sid}/products/{p}/values
//   POST   /admin/v1/clients/{machine}/{sid}/disable | /enable
//   POST   /admin/v1/push {"product":...} or {"machine":...,"sid":...}, optional "type"
//   GET|POST|DELETE /admin/v1/faults
//
// A change of a product's schema or values publishes "velder.settings.refresh"
// to every client of the product; a change of a client's values to that client.
// Values are checked against the product's schema as the clients' changes are.
//
// Handlers run on the admin listener's threads; everything they share is
// thread-safe.
#pragma once

#include <functional>
#include <string>

#include "fault_injector.h"
#include "platform/mutex.h"
#include "push_hub.h"
#include "settings_database.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace settings_server {

class AdminApi {
 public:
  using Clock = std::function<int64_t()>;  // seconds since 1970

  AdminApi(SettingsDatabase& database, PushHub& hub, FaultInjector& faults, std::string token, Clock clock);

  void Register(httplib::Server& server);

 private:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  // Checks the admin token, then runs the handler.
  Handler Guard(Handler handler) const;

  void Status(const httplib::Request&, httplib::Response&);
  void AddMachine(const httplib::Request&, httplib::Response&);
  void RemoveMachine(const httplib::Request&, httplib::Response&);
  void GetProduct(const httplib::Request&, httplib::Response&);
  void RemoveProduct(const httplib::Request&, httplib::Response&);
  void PutSchema(const httplib::Request&, httplib::Response&);
  void ChangeProductValues(const httplib::Request&, httplib::Response&, bool merge);
  void ListClients(const httplib::Request&, httplib::Response&);
  void GetClientValues(const httplib::Request&, httplib::Response&);
  void ChangeClientValues(const httplib::Request&, httplib::Response&, bool merge);
  void SetDisabled(const httplib::Request&, httplib::Response&, bool disabled);
  void Push(const httplib::Request&, httplib::Response&);
  void AddFault(const httplib::Request&, httplib::Response&);
  void ListFaults(const httplib::Request&, httplib::Response&);

  // Publishes the refresh message to every client of `product` whose document
  // differs from `before` (client -> etag before the change).
  void PublishChanges(const std::string& product, const std::map<ClientKey, std::string>& before)
      REQUIRES(changeMutex_);
  std::map<ClientKey, std::string> Tags(const std::string& product) const;

  SettingsDatabase& database_;
  PushHub& hub_;
  FaultInjector& faults_;
  const std::string token_;
  Clock clock_;
  platform::Mutex changeMutex_;  // one administrative change at a time, so a publish follows its change
};

}  // namespace settings_server
