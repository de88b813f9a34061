// The HTTP side of `velder-settings-server admin`: one request to the admin
// listener per call, with the admin token. Where the listener is and its token
// come from the data folder's admin.json unless given explicitly.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace settings_server {

class AdminClient {
 public:
  AdminClient(std::string url, std::string token) : url_(std::move(url)), token_(std::move(token)) {}

  // Reads <dataDir>/admin.json; false with `error` set when it is missing or unreadable.
  static bool FromDataDir(const std::string& dataDir, AdminClient& client, std::string& error);

  struct Answer {
    long status = 0;      // 0: no answer (see `error`)
    std::string error;    // transport failure
    nlohmann::json body;  // parsed answer; null when empty or not JSON
  };
  // `body` is sent as JSON unless it is null.
  Answer Call(const std::string& method, const std::string& path, const nlohmann::json& body = nullptr) const;

 private:
  std::string url_;
  std::string token_;
};

}  // namespace settings_server
