// A sandbox with the real velder-settings-server (its own data folder, a
// self-signed certificate trusted through "CaFile", one machine "m1" with the
// product "any") and velder-host synchronised with it, as the README's "try it
// with a server" steps set it up. The server's access log and the plug-in's
// log tell the tests which exchanges happened.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin_client.h"
#include "service_sandbox.h"

namespace integration {

// Request lines of the server's access log (method, path, status follow).
inline constexpr char kGet[] = "GET /velder/client-api/v3/clients/me/products/any/settings ";
inline constexpr char kPatch[] = "PATCH /velder/client-api/v3/clients/me/products/any/settings?return-data=true ";
inline constexpr char kNode[] = "PATCH /velder/client-api/v3/clients/me/products/any/node ";
inline constexpr char kToken[] = "POST /velder/auth/v1/token ";
inline constexpr char kSystemSid[] = "S-1-5-18";

class ServerSync : public ServiceTest {
 protected:
  void SetUp() override {
    server_.emplace(std::vector<std::string>{BuildProgram("velder-settings-server"), "--listen", "127.0.0.1:0",
                                             "--admin-listen", "127.0.0.1:0", "--keep-alive", "1", "--data",
                                             ServerDir().string(), "--access-log", AccessLogFile().string()});
    ASSERT_TRUE(server_->WaitForOutput("Administration on", std::chrono::seconds(30))) << server_->err();
    const std::string& out = server_->out();
    const std::string listening = "Listening on https://127.0.0.1:";
    std::string port = out.substr(out.find(listening) + listening.size());
    port = port.substr(0, port.find('\n'));

    const Ran added = Admin({"machine", "add", "m1"});
    const std::string marker = "(shown once): ";
    ASSERT_NE(added.out.find(marker), std::string::npos) << added.out << added.err;
    std::string secret = added.out.substr(added.out.find(marker) + marker.size());
    secret = secret.substr(0, secret.find('\n'));
    ASSERT_EQ(Admin({"product", "set-schema", "any", kSchema}).rc, 0);
    ASSERT_EQ(Admin({"product", "set-values", "any", R"({"greeting":"from server"})"}).rc, 0);

    // The README's steps, in its order.
    const Ran ca = RunProgram("hvreg", {"add", "HKLM\\SOFTWARE\\Halvern\\QOR\\Velder", "/v", "CaFile", "/d",
                                        (ServerDir() / "server-cert.pem").string(), "/f"});
    ASSERT_EQ(ca.rc, 0) << ca.err;
    const Ran enrolment = RunProgram("hvreg", {"add", "HKLM\\SOFTWARE\\Halvern\\QOR\\ClientAuth", "/v",
                                               "EnrolmentSecret", "/d", secret, "/f"});
    ASSERT_EQ(enrolment.rc, 0) << enrolment.err;
    sandbox_.WriteLateboundBase("latebound");
    StartHost();
    ASSERT_EQ(Ctl({"set", "windows.velder.server", "127.0.0.1"}).rc, 0);
    ASSERT_EQ(Ctl({"set", "windows.velder.port", port}).rc, 0);
    ASSERT_EQ(Ctl({"sync"}).rc, 0);
    ASSERT_TRUE(WaitFor([&] { return Status().value("connected", false); }, std::chrono::seconds(20)))
        << Status().dump() << sandbox_.PluginLogText();
    // The push stream is up and its id reported: no exchange of the setup is left.
    ASSERT_TRUE(WaitAccess(std::string(kNode) + "204")) << AccessLog();
  }

  fs::path ServerDir() const { return sandbox_.root() / "server"; }
  fs::path AccessLogFile() const { return sandbox_.root() / "access.log"; }
  std::string AccessLog() const { return testing_support::ReadFile(AccessLogFile()); }
  // Waits until the access log holds `needle` at least `count` times.
  bool WaitAccess(const std::string& needle, size_t count = 1,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    return WaitFor([&] { return CountOf(AccessLog(), needle) >= count; }, timeout);
  }
  bool WaitPluginLog(const std::string& needle, size_t count) const {
    return WaitFor([&] { return CountOf(sandbox_.PluginLogText(), needle) >= count; }, std::chrono::seconds(20));
  }

  static Ran Ctl(const std::vector<std::string>& args) { return client_test::RunVelderctl(args); }
  // The value of `path` as velderctl prints it, without the line end.
  static std::string Get(const std::string& path) {
    std::string out = Ctl({"get", path}).out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  // The system hive's connection status ("status.windows.velder").
  static nlohmann::json Status() {
    const Ran ran = Ctl({"--json", "status"});
    const nlohmann::json parsed = nlohmann::json::parse(ran.out, nullptr, false);
    const bool present = parsed.is_object() && parsed.contains("status") && parsed["status"].is_object();
    return present ? parsed["status"] : nlohmann::json::object();
  }

  Ran Admin(std::vector<std::string> args) const {
    args.insert(args.begin(), {"admin", "--data", ServerDir().string()});
    return RunProgram("velder-settings-server", args);
  }
  // The values the server keeps for the system hive's client.
  nlohmann::json ServerValues() const {
    settings_server::AdminClient client("", "");
    std::string error;
    if (!settings_server::AdminClient::FromDataDir(ServerDir().string(), client, error)) return error;
    return client.Call("GET", std::string("/admin/v1/clients/m1/") + kSystemSid + "/products/any/values").body;
  }

  static constexpr char kSchema[] =
      R"({"greeting":{"type":"string","default":"default"},"count":{"type":"integer","default":1}})";

  std::optional<testing_support::ChildProcess> server_;
};

}  // namespace integration
