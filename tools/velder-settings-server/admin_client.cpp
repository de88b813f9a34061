#include "admin_client.h"

#include <curl/curl.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace settings_server {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

}  // namespace

bool AdminClient::FromDataDir(const std::string& dataDir, AdminClient& client, std::string& error) {
  const std::string file = (std::filesystem::path(dataDir) / "admin.json").string();
  std::ifstream in(file);
  if (!in) {
    error = "cannot read " + file + " (is the server running with --data " + dataDir + ", and may you read it?)";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json j = nlohmann::json::parse(text.str(), nullptr, false);
  if (!j.is_object() || !j.contains("url") || !j["url"].is_string() || !j.contains("token") ||
      !j["token"].is_string()) {
    error = file + " is not an admin file of the server";
    return false;
  }
  client = AdminClient(j["url"], j["token"]);
  return true;
}

AdminClient::Answer AdminClient::Call(const std::string& method, const std::string& path,
                                      const nlohmann::json& body) const {
  Answer answer;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    answer.error = "cannot start an HTTP request";
    return answer;
  }
  const std::string url = url_ + path;
  const std::string authorization = "Authorization: Bearer " + token_;
  const std::string payload = body.is_null() ? std::string() : body.dump();
  curl_slist* headers = curl_slist_append(nullptr, authorization.c_str());
  headers = curl_slist_append(headers, "Content-Type: application/json");
  std::string received;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &received);
  // An empty body still goes with its length: the server wants one on every POST.
  if (!body.is_null() || method != "GET") {
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
  }
  const CURLcode rc = curl_easy_perform(curl.get());
  curl_slist_free_all(headers);
  if (rc != CURLE_OK) {
    answer.error = std::string("cannot reach the admin listener at ") + url_ + ": " + curl_easy_strerror(rc);
    return answer;
  }
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  answer.body = nlohmann::json::parse(received, nullptr, false);
  if (answer.body.is_discarded()) answer.body = nullptr;
  return answer;
}

}  // namespace settings_server
