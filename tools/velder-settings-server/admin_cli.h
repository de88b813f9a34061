// `velder-settings-server admin ...`: the command line of the admin API, for
// administrators and scripts alike (--json prints the API's answers as they
// are). Exit codes: 0 done, 1 the server refused (its message is printed),
// 2 bad usage, 3 the server could not be reached.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace settings_server {

class AdminCli {
 public:
  // Adds the "admin" subcommand with its commands to `app`.
  explicit AdminCli(CLI::App& app);

  bool Selected() const { return admin_->parsed(); }
  // Runs the command that was parsed; returns the exit code.
  int Run();

 private:
  struct Call {
    std::string method;
    std::string path;
    std::function<bool(nlohmann::json& body, std::string& error)> body;  // null: no body
    std::function<void(const nlohmann::json& answer)> print;              // null: print nothing
  };
  CLI::App* Command(CLI::App* parent, const std::string& name, const std::string& help, Call call);
  // A JSON argument: the text itself, "@FILE" or "-" (standard input).
  static bool ReadJsonArgument(const std::string& argument, nlohmann::json& value, std::string& error);

  CLI::App* admin_;
  std::string dataDir_;
  std::string url_;
  std::string token_;
  bool json_ = false;
  std::vector<std::pair<CLI::App*, Call>> calls_;

  // Arguments of the commands.
  std::string name_, product_, machine_, sid_, document_, kind_, on_, type_;
  std::vector<std::string> client_;
  int status_ = 0;
  int64_t delayMs_ = 0, count_ = 0, seconds_ = 0;
};

}  // namespace settings_server
