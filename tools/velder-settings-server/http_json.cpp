#include "http_json.h"

#include <httplib.h>

#include <cctype>

#include "store/velder_path.h"

namespace settings_server {

void SetJson(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(body.dump(), kJsonType);
}

void SetError(httplib::Response& response, int status, std::string_view code, std::string_view message) {
  SetJson(response, status, {{"error", {{"code", code}, {"message", message}}}});
}

bool IsJsonMediaType(std::string_view contentType) {
  const size_t semicolon = contentType.find(';');
  std::string_view type = contentType.substr(0, semicolon);
  while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
  constexpr std::string_view kJson = "application/json";
  if (type.size() != kJson.size()) return false;
  for (size_t i = 0; i < kJson.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(type[i])) != kJson[i]) return false;
  return true;
}

bool ParseJsonBody(const httplib::Request& request, httplib::Response& response, nlohmann::json& body) {
  if (!IsJsonMediaType(request.get_header_value("Content-Type"))) {
    SetError(response, 415, "unsupported_media_type", "the body must be application/json");
    return false;
  }
  // Refused before parsing: megabytes of "[" would otherwise build as many levels.
  if (VelderPath::NestsDeeperThan(request.body, VelderPath::kMaxDepth)) {
    SetError(response, 400, "too_deep", "the JSON body nests too deeply");
    return false;
  }
  body = nlohmann::json::parse(request.body, nullptr, false);
  if (body.is_discarded()) {
    SetError(response, 400, "invalid_json", "the body is not valid JSON");
    return false;
  }
  return true;
}

bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > 64 || !std::isalnum(static_cast<unsigned char>(name[0]))) return false;
  for (unsigned char c : name)
    if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

}  // namespace settings_server
