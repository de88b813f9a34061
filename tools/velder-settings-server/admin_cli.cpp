#include "admin_cli.h"

#include <fmt/format.h>

#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "admin_client.h"
#include "settings_server.h"

namespace settings_server {
namespace {

using json = nlohmann::json;

void PrintPretty(const json& answer) { fmt::print("{}\n", answer.dump(2)); }

std::string TimeText(int64_t seconds) {
  if (seconds <= 0) return "never";
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &utc);
  return text;
}

}  // namespace

bool AdminCli::ReadJsonArgument(const std::string& argument, json& value, std::string& error) {
  std::string text = argument;
  if (argument == "-" || argument.starts_with("@")) {
    std::stringstream buffer;
    if (argument == "-") {
      buffer << std::cin.rdbuf();
    } else {
      std::ifstream in(argument.substr(1));
      if (!in) {
        error = "cannot read " + argument.substr(1);
        return false;
      }
      buffer << in.rdbuf();
    }
    text = buffer.str();
  }
  value = json::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) {
    error = "expected a JSON object (the text itself, @FILE or - for standard input)";
    return false;
  }
  return true;
}

CLI::App* AdminCli::Command(CLI::App* parent, const std::string& name, const std::string& help, Call call) {
  CLI::App* command = parent->add_subcommand(name, help);
  calls_.emplace_back(command, std::move(call));
  return command;
}

AdminCli::AdminCli(CLI::App& app) {
  admin_ = app.add_subcommand("admin", "administer a running server through its admin listener");
  admin_->require_subcommand(1);
  admin_->add_option("--data", dataDir_, "the server's data folder, whose admin.json names the listener and token");
  admin_->add_option("--url", url_, "the admin listener (instead of admin.json)");
  admin_->add_option("--token", token_, "the admin token (instead of admin.json)");
  admin_->add_flag("--json", json_, "print the server's answers as JSON");

  auto jsonBody = [this](json& body, std::string& error) { return ReadJsonArgument(document_, body, error); };
  using BodyFn = std::function<bool(json&, std::string&)>;

  Command(admin_, "status", "counts of machines, clients, products, streams and faults",
          {"GET", "/admin/v1/status", nullptr, [](const json& a) {
             for (const auto& [key, value] : a.items()) fmt::print("{}: {}\n", key, value.dump());
           }});

  auto* machine = admin_->add_subcommand("machine", "machines and their enrolment secrets");
  machine->require_subcommand(1);
  Command(machine, "add", "create a machine and print its enrolment secret (shown only once)",
          {"POST", "/admin/v1/machines",
           [this](json& body, std::string&) {
             body = {{"name", name_}};
             return true;
           },
           [](const json& a) {
             fmt::print("Machine {} added.\nEnrolment secret (shown once): {}\n", a.value("name", ""),
                        a.value("enrolment_secret", ""));
           }})
      ->add_option("NAME", name_, "machine name")
      ->required();
  Command(machine, "list", "list the machines", {"GET", "/admin/v1/machines", nullptr, [](const json& a) {
                                                   for (const auto& m : a)
                                                     fmt::print("{}  added {}\n", m.value("name", ""),
                                                                TimeText(m.value("created", int64_t{0})));
                                                 }});
  Command(machine, "remove", "remove a machine with its clients, tokens and client values",
          {"DELETE", "", nullptr, nullptr})
      ->add_option("NAME", name_, "machine name")
      ->required();

  auto* product = admin_->add_subcommand("product", "products: schema and default values");
  product->require_subcommand(1);
  Command(product, "list", "list the products", {"GET", "/admin/v1/products", nullptr, [](const json& a) {
                                                   for (const auto& p : a) fmt::print("{}\n", p.get<std::string>());
                                                 }});
  for (const auto& [name, help, method, tail, withBody] :
       std::vector<std::tuple<const char*, const char*, const char*, const char*, bool>>{
           {"show", "print a product's schema, values and clients", "GET", "", false},
           {"remove", "remove a product and every client's values for it", "DELETE", "", false},
           {"set-schema", "replace a product's schema (creates the product)", "PUT", "/schema", true},
           {"set-values", "replace a product's default values", "PUT", "/values", true},
           {"patch-values", "merge a JSON merge patch into a product's default values (null deletes)", "PATCH",
            "/values", true}}) {
    auto* c = Command(product, name, help,
                      {method, tail, withBody ? BodyFn(jsonBody) : BodyFn(),
                       std::string(method) == "DELETE" ? nullptr : std::function<void(const json&)>(PrintPretty)});
    c->add_option("PRODUCT", product_, "product name")->required();
    if (withBody) c->add_option("JSON", document_, "a JSON object, @FILE or - (standard input)")->required();
  }

  auto* client = admin_->add_subcommand("client", "clients: one user (SID) on one machine");
  client->require_subcommand(1);
  Command(client, "list", "list the clients with their last request, pns id and tags",
          {"GET", "/admin/v1/clients", nullptr, [](const json& a) {
             for (const auto& c : a) {
               std::string tags;
               for (const auto& [p, info] : c["products"].items()) tags += " " + p + "=" + info.value("etag", "");
               fmt::print("{}/{}  {}  streams={}  last={}  pns_id={}{}\n", c.value("machine", ""), c.value("sid", ""),
                          c.value("disabled", false) ? "disabled" : "enabled", c.value("streams", 0),
                          TimeText(c.value("last_request", int64_t{0})), c.value("pns_id", ""), tags);
             }
           }});
  for (const auto& [name, help, method, tail, withBody, withProduct] :
       std::vector<std::tuple<const char*, const char*, const char*, const char*, bool, bool>>{
           {"show", "print a client's own values for a product", "GET", "/values", false, true},
           {"set-values", "replace a client's own values for a product", "PUT", "/values", true, true},
           {"patch-values", "merge a JSON merge patch into a client's own values (null deletes)", "PATCH", "/values",
            true, true},
           {"disable", "refuse the client's tokens and requests (403)", "POST", "/disable", false, false},
           {"enable", "accept the client again", "POST", "/enable", false, false}}) {
    auto* c = Command(client, name, help,
                      {method, tail,
                       withBody ? BodyFn(jsonBody) : BodyFn(),
                       withProduct ? std::function<void(const json&)>(PrintPretty) : nullptr});
    c->add_option("MACHINE", machine_, "machine name")->required();
    c->add_option("SID", sid_, "the user's SID")->required();
    if (withProduct) c->add_option("PRODUCT", product_, "product name")->required();
    if (withBody) c->add_option("JSON", document_, "a JSON object, @FILE or - (standard input)")->required();
  }

  auto* push = Command(admin_, "push", "publish a push message to a product's clients or to one client",
                       {"POST", "/admin/v1/push",
                        [this](json& body, std::string& error) {
                          if (!product_.empty()) body["product"] = product_;
                          if (client_.size() == 2) body["machine"] = client_[0], body["sid"] = client_[1];
                          if (!type_.empty()) body["type"] = type_;
                          if (product_.empty() == client_.empty()) {
                            error = "give either --product or --client";
                            return false;
                          }
                          return true;
                        },
                        [](const json& a) {
                          fmt::print("Delivered to {} stream(s) of {} client(s).\n", a.value("streams", 0),
                                     a.value("clients", 0));
                        }});
  push->add_option("--product", product_, "every client of this product");
  push->add_option("--client", client_, "one client: MACHINE SID")->expected(2);
  push->add_option("--type", type_, "message type (default velder.settings.refresh)");

  auto* fault = admin_->add_subcommand("fault", "make the client side misbehave on purpose");
  fault->require_subcommand(1);
  auto* add = Command(fault, "add", "arm a fault (for one request unless --count or --seconds say otherwise)",
                      {"POST", "/admin/v1/faults",
                       [this](json& body, std::string&) {
                         body = {{"kind", kind_}};
                         if (status_ != 0) body["status"] = status_;
                         if (delayMs_ != 0) body["delay_ms"] = delayMs_;
                         if (count_ != 0) body["count"] = count_;
                         if (seconds_ != 0) body["seconds"] = seconds_;
                         if (!on_.empty()) body["on"] = on_;
                         if (!sid_.empty()) body["sid"] = sid_;
                         return true;
                       },
                       [](const json& a) { fmt::print("Fault {} armed: {}\n", a.value("id", 0), a.dump()); }});
  add->add_option("KIND", kind_, "status, delay, drop, truncate, not-json, no-etag or oversize")->required();
  add->add_option("--status", status_, "for status: 401, 403, 404, 412, 429, 500 or 503");
  add->add_option("--delay-ms", delayMs_, "for delay: milliseconds before the answer");
  add->add_option("--count", count_, "the next N matching requests");
  add->add_option("--seconds", seconds_, "every matching request for this many seconds");
  add->add_option("--on", on_, "settings (default), get, patch, node, token, push or all");
  add->add_option("--sid", sid_, "only requests of the client with this SID");
  Command(fault, "list", "list the armed faults", {"GET", "/admin/v1/faults", nullptr, [](const json& a) {
                                                     for (const auto& f : a) fmt::print("{}\n", f.dump());
                                                   }});
  Command(fault, "clear", "disarm every fault", {"DELETE", "/admin/v1/faults", nullptr, nullptr});
}

int AdminCli::Run() {
  const Call* call = nullptr;
  for (const auto& [command, c] : calls_)
    if (command->parsed()) call = &c;
  if (call == nullptr) return 2;

  std::string path = call->path;
  // Commands whose path names what they act on.
  const std::string parentName = [&] {
    for (const auto& [command, c] : calls_)
      if (&c == call) return command->get_parent()->get_name();
    return std::string();
  }();
  if (parentName == "machine" && call->method == "DELETE") path = "/admin/v1/machines/" + name_;
  if (parentName == "product" && !product_.empty()) path = "/admin/v1/products/" + product_ + path;
  if (parentName == "client" && !machine_.empty()) {
    path = "/admin/v1/clients/" + machine_ + "/" + sid_ + (product_.empty() ? path : "/products/" + product_ + path);
  }

  json body = nullptr;
  std::string error;
  if (call->body && !call->body(body, error)) {
    fmt::print(stderr, "error: {}\n", error);
    return 2;
  }
  AdminClient client("", "");
  if (!url_.empty() && !token_.empty()) {
    client = AdminClient(url_, token_);
  } else if (!AdminClient::FromDataDir(dataDir_.empty() ? DefaultDataDir() : dataDir_, client, error)) {
    fmt::print(stderr, "error: {}\n", error);
    return 3;
  }
  const AdminClient::Answer answer = client.Call(call->method, path, body);
  if (answer.status == 0) {
    fmt::print(stderr, "error: {}\n", answer.error);
    return 3;
  }
  if (answer.status >= 400) {
    if (json_) {
      fmt::print("{}\n", answer.body.is_null() ? json::object().dump() : answer.body.dump());
    }
    std::string message = fmt::format("the server answered {}", answer.status);
    if (answer.body.is_object() && answer.body.contains("error") && answer.body["error"].is_object())
      message = answer.body["error"].value("message", message);
    fmt::print(stderr, "error: {}\n", message);
    return 1;
  }
  if (json_) {
    fmt::print("{}\n", answer.body.is_null() ? json::object().dump() : answer.body.dump());
  } else if (call->print && !answer.body.is_null()) {
    call->print(answer.body);
  }
  return 0;
}

}  // namespace settings_server
