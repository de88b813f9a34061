#include "admin_api.h"

#include <httplib.h>

#include <chrono>

#include "access_log.h"
#include "client_document.h"
#include "crypto_text.h"
#include "http_json.h"
#include "platform/sid.h"
#include "settings_api.h"
#include "token_service.h"

namespace settings_server {
namespace {

using json = nlohmann::json;
using httplib::Request;
using httplib::Response;

constexpr const char* kName = "([A-Za-z0-9][A-Za-z0-9._-]*)";
constexpr const char* kSid = "([A-Za-z0-9-]+)";

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool StorageFailed(DbResult result, Response& response) {
  if (result == DbResult::kOk) return false;
  if (result == DbResult::kNotFound)
    SetError(response, 404, "not_found", "no such machine, client or product");
  else
    SetError(response, 500, "storage_failed", "the database could not be written; nothing changed");
  return true;
}

void SchemaViolation(Response& response, const std::string& path) {
  SetJson(response, 422,
          {{"error",
            {{"code", "schema_violation"},
             {"message", "the value at '" + path + "' does not match the schema; nothing changed"},
             {"path", path}}}});
}

// The product name of the route, checked; false with the answer set.
bool ProductName(const Request& request, size_t index, Response& response, std::string& name) {
  name = request.matches[index].str();
  if (IsValidName(name)) return true;
  SetError(response, 400, "invalid_name", "names are 1 to 64 of A-Z a-z 0-9 . _ - and start with a letter or digit");
  return false;
}

bool ParseObject(const Request& request, Response& response, json& body) {
  if (!ParseJsonBody(request, response, body)) return false;
  if (body.is_object()) return true;
  SetError(response, 400, "invalid_request", "the body must be a JSON object");
  return false;
}

}  // namespace

AdminApi::AdminApi(SettingsDatabase& database, PushHub& hub, FaultInjector& faults, std::string token, Clock clock)
    : database_(database), hub_(hub), faults_(faults), token_(std::move(token)), clock_(std::move(clock)) {}

AdminApi::Handler AdminApi::Guard(Handler handler) const {
  return [this, handler = std::move(handler)](const Request& request, Response& response) {
    CurrentRequest().client = "admin";
    const std::string header = request.get_header_value("Authorization");
    if (!header.starts_with("Bearer ") || !ConstantTimeEquals(header.substr(7), token_)) {
      CurrentRequest().client = "-";
      response.set_header("WWW-Authenticate", "Bearer");
      SetError(response, 401, "unauthorized", "the admin token is required");
      return;
    }
    handler(request, response);
  };
}

void AdminApi::Register(httplib::Server& s) {
  auto bind = [this](void (AdminApi::*method)(const Request&, Response&)) {
    return Guard([this, method](const Request& q, Response& r) { (this->*method)(q, r); });
  };
  const std::string product = std::string("/admin/v1/products/") + kName;
  const std::string client = std::string("/admin/v1/clients/") + kName + "/" + kSid;
  s.Get("/admin/v1/status", bind(&AdminApi::Status));
  s.Get("/admin/v1/machines", Guard([this](const Request&, Response& r) {
          json list = json::array();
          for (const MachineRecord& m : database_.Machines()) list.push_back({{"name", m.name}, {"created", m.created}});
          SetJson(r, 200, list);
        }));
  s.Post("/admin/v1/machines", bind(&AdminApi::AddMachine));
  s.Delete(std::string("/admin/v1/machines/") + kName, bind(&AdminApi::RemoveMachine));
  s.Get("/admin/v1/products", Guard([this](const Request&, Response& r) { SetJson(r, 200, database_.Products()); }));
  s.Get(product, bind(&AdminApi::GetProduct));
  s.Delete(product, bind(&AdminApi::RemoveProduct));
  s.Get(product + "/schema", Guard([this](const Request& q, Response& r) {
          std::string name;
          if (!ProductName(q, 1, r, name)) return;
          auto p = database_.FindProduct(name);
          if (!p) return SetError(r, 404, "not_found", "no product of this name");
          SetJson(r, 200, p->schema);
        }));
  s.Put(product + "/schema", bind(&AdminApi::PutSchema));
  s.Get(product + "/values", Guard([this](const Request& q, Response& r) {
          std::string name;
          if (!ProductName(q, 1, r, name)) return;
          auto p = database_.FindProduct(name);
          if (!p) return SetError(r, 404, "not_found", "no product of this name");
          SetJson(r, 200, p->values);
        }));
  s.Put(product + "/values", Guard([this](const Request& q, Response& r) { ChangeProductValues(q, r, false); }));
  s.Patch(product + "/values", Guard([this](const Request& q, Response& r) { ChangeProductValues(q, r, true); }));
  s.Get("/admin/v1/clients", bind(&AdminApi::ListClients));
  const std::string clientValues = client + "/products/" + kName + "/values";
  s.Get(clientValues, bind(&AdminApi::GetClientValues));
  s.Put(clientValues, Guard([this](const Request& q, Response& r) { ChangeClientValues(q, r, false); }));
  s.Patch(clientValues, Guard([this](const Request& q, Response& r) { ChangeClientValues(q, r, true); }));
  s.Post(client + "/disable", Guard([this](const Request& q, Response& r) { SetDisabled(q, r, true); }));
  s.Post(client + "/enable", Guard([this](const Request& q, Response& r) { SetDisabled(q, r, false); }));
  s.Post("/admin/v1/push", bind(&AdminApi::Push));
  s.Get("/admin/v1/faults", bind(&AdminApi::ListFaults));
  s.Post("/admin/v1/faults", bind(&AdminApi::AddFault));
  s.Delete("/admin/v1/faults", Guard([this](const Request&, Response& r) {
             faults_.Clear();
             r.status = 204;
           }));
}

void AdminApi::Status(const Request&, Response& response) {
  SetJson(response, 200,
          {{"machines", database_.Machines().size()},
           {"clients", database_.Clients().size()},
           {"products", database_.Products().size()},
           {"streams", hub_.StreamCount()},
           {"faults", faults_.List(SteadyMs()).size()}});
}

void AdminApi::AddMachine(const Request& request, Response& response) {
  json body;
  if (!ParseObject(request, response, body)) return;
  auto name = body.find("name");
  if (name == body.end() || !name->is_string() || !IsValidName(name->get<std::string>())) {
    SetError(response, 400, "invalid_name", "\"name\": 1 to 64 of A-Z a-z 0-9 . _ - starting with a letter or digit");
    return;
  }
  const std::string secret = TokenService::NewSecret();
  const DbResult result = database_.AddMachine({name->get<std::string>(), TokenService::Digest(secret), clock_()});
  if (result == DbResult::kExists) return SetError(response, 409, "exists", "a machine of this name exists");
  if (StorageFailed(result, response)) return;
  SetJson(response, 201, {{"name", *name}, {"enrolment_secret", secret}});
}

void AdminApi::RemoveMachine(const Request& request, Response& response) {
  const std::string name = request.matches[1].str();
  std::vector<ClientKey> clients;
  for (const ClientRecord& c : database_.Clients())
    if (c.key.machine == name) clients.push_back(c.key);
  if (StorageFailed(database_.RemoveMachine(name), response)) return;
  for (const ClientKey& key : clients) hub_.CloseClient(key);
  response.status = 204;
}

void AdminApi::GetProduct(const Request& request, Response& response) {
  std::string name;
  if (!ProductName(request, 1, response, name)) return;
  auto p = database_.FindProduct(name);
  if (!p) return SetError(response, 404, "not_found", "no product of this name");
  json clients = json::array();
  for (const ClientKey& key : database_.ClientsOfProduct(name)) clients.push_back(key.Text());
  SetJson(response, 200, {{"name", name}, {"schema", p->schema}, {"values", p->values}, {"clients", clients}});
}

void AdminApi::RemoveProduct(const Request& request, Response& response) {
  std::string name;
  if (!ProductName(request, 1, response, name)) return;
  if (StorageFailed(database_.RemoveProduct(name), response)) return;
  response.status = 204;
}

std::map<ClientKey, std::string> AdminApi::Tags(const std::string& product) const {
  std::map<ClientKey, std::string> tags;
  auto p = database_.FindProduct(product);
  if (!p) return tags;
  for (const ClientKey& key : database_.ClientsOfProduct(product))
    tags[key] = BuildClientDocument(*p, database_.Overrides(key, product)).etag;
  return tags;
}

void AdminApi::PublishChanges(const std::string& product, const std::map<ClientKey, std::string>& before) {
  for (const auto& [key, etag] : Tags(product)) {
    auto old = before.find(key);
    if (old == before.end() || old->second != etag) hub_.Publish(key, SettingsApi::RefreshMessage());
  }
}

void AdminApi::PutSchema(const Request& request, Response& response) {
  std::string name;
  json schema;
  if (!ProductName(request, 1, response, name) || !ParseObject(request, response, schema)) return;
  platform::MutexLock lock(changeMutex_);
  const auto before = Tags(name);
  ProductRecord product = database_.FindProduct(name).value_or(ProductRecord{});
  product.schema = std::move(schema);
  if (StorageFailed(database_.PutProduct(name, product), response)) return;
  PublishChanges(name, before);
  SetJson(response, 200, product.schema);
}

void AdminApi::ChangeProductValues(const Request& request, Response& response, bool merge) {
  std::string name;
  json values;
  if (!ProductName(request, 1, response, name) || !ParseObject(request, response, values)) return;
  platform::MutexLock lock(changeMutex_);
  const auto before = Tags(name);
  ProductRecord product = database_.FindProduct(name).value_or(ProductRecord{});
  json next = merge ? product.values : json::object();
  next.merge_patch(values);
  if (auto path = FindSchemaViolation(product.schema, next, values)) return SchemaViolation(response, *path);
  product.values = std::move(next);
  if (StorageFailed(database_.PutProduct(name, product), response)) return;
  PublishChanges(name, before);
  SetJson(response, 200, product.values);
}

void AdminApi::ListClients(const Request&, Response& response) {
  json list = json::array();
  for (const ClientRecord& c : database_.Clients()) {
    json products = json::object();
    for (const std::string& name : database_.ProductsOfClient(c.key)) {
      if (auto p = database_.FindProduct(name))
        products[name] = {{"etag", BuildClientDocument(*p, database_.Overrides(c.key, name)).etag}};
    }
    list.push_back({{"machine", c.key.machine},
                    {"sid", c.key.sid},
                    {"disabled", c.disabled},
                    {"pns_id", c.pnsId},
                    {"reported_pns_id", c.reportedPnsId},
                    {"last_request", c.lastRequest},
                    {"last_address", c.lastAddress},
                    {"streams", hub_.StreamCount(c.key)},
                    {"products", products}});
  }
  SetJson(response, 200, list);
}

void AdminApi::GetClientValues(const Request& request, Response& response) {
  std::string product;
  if (!ProductName(request, 3, response, product)) return;
  const ClientKey key{request.matches[1].str(), request.matches[2].str()};
  if (!database_.FindClient(key) || !database_.FindProduct(product))
    return SetError(response, 404, "not_found", "no such client or product");
  SetJson(response, 200, database_.Overrides(key, product));
}

void AdminApi::ChangeClientValues(const Request& request, Response& response, bool merge) {
  std::string product;
  json values;
  if (!ProductName(request, 3, response, product) || !ParseObject(request, response, values)) return;
  const ClientKey key{request.matches[1].str(), request.matches[2].str()};
  if (!platform::IsValidSidText(key.sid)) return SetError(response, 400, "invalid_sid", "not a security identifier");
  ClientRecord record;
  // The administrator may prepare a client's values before it first connects.
  if (StorageFailed(database_.EnsureClient(key, record), response)) return;
  platform::MutexLock lock(changeMutex_);
  std::string violation, before, after;
  const DbResult result = database_.EditOverrides(key, product, [&](const ProductRecord& p, json& overrides) {
    before = BuildClientDocument(p, overrides).etag;
    json next = merge ? overrides : json::object();
    next.merge_patch(values);
    if (auto path = FindSchemaViolation(p.schema, MergedValues(p, next), next)) {
      violation = *path;
      return false;
    }
    overrides = std::move(next);
    after = BuildClientDocument(p, overrides).etag;
    return true;
  });
  if (StorageFailed(result, response)) return;
  if (!violation.empty()) return SchemaViolation(response, violation);
  if (before != after) hub_.Publish(key, SettingsApi::RefreshMessage());
  SetJson(response, 200, database_.Overrides(key, product));
}

void AdminApi::SetDisabled(const Request& request, Response& response, bool disabled) {
  const ClientKey key{request.matches[1].str(), request.matches[2].str()};
  if (StorageFailed(database_.SetClientDisabled(key, disabled), response)) return;
  if (disabled) hub_.CloseClient(key);
  response.status = 204;
}

void AdminApi::Push(const Request& request, Response& response) {
  json body;
  if (!ParseObject(request, response, body)) return;
  json message = SettingsApi::RefreshMessage();
  if (auto type = body.find("type"); type != body.end()) {
    if (!type->is_string()) return SetError(response, 400, "invalid_request", "\"type\" must be a string");
    message["data"]["pns_message_type_id"] = *type;
  }
  std::vector<ClientKey> targets;
  if (auto product = body.find("product"); product != body.end() && product->is_string()) {
    if (!database_.FindProduct(*product)) return SetError(response, 404, "not_found", "no product of this name");
    targets = database_.ClientsOfProduct(*product);
  } else if (body.contains("machine") && body["machine"].is_string() && body.contains("sid") &&
             body["sid"].is_string()) {
    targets.push_back(ClientKey{body["machine"].get<std::string>(), body["sid"].get<std::string>()});
    if (!database_.FindClient(targets.back())) return SetError(response, 404, "not_found", "no such client");
  } else {
    return SetError(response, 400, "invalid_request", "name a \"product\", or a \"machine\" and a \"sid\"");
  }
  size_t delivered = 0;
  for (const ClientKey& key : targets) delivered += hub_.Publish(key, message);
  SetJson(response, 200, {{"clients", targets.size()}, {"streams", delivered}});
}

void AdminApi::AddFault(const Request& request, Response& response) {
  json body;
  if (!ParseObject(request, response, body)) return;
  std::string error;
  const int64_t now = SteadyMs();
  auto fault = FaultInjector::FromJson(body, now, error);
  if (!fault) return SetError(response, 400, "invalid_fault", error);
  fault->id = faults_.Add(*fault);
  SetJson(response, 201, FaultInjector::ToJson(*fault, now));
}

void AdminApi::ListFaults(const Request&, Response& response) {
  const int64_t now = SteadyMs();
  json list = json::array();
  for (const Fault& f : faults_.List(now)) list.push_back(FaultInjector::ToJson(f, now));
  SetJson(response, 200, list);
}

}  // namespace settings_server
