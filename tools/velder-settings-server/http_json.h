// JSON bodies in and out of the server's handlers: the checks every request
// body passes (media type, nesting depth, syntax) and the error body shape
//
//   {"error":{"code":"schema_violation","message":"...","path":"a.b"}}
//
// shared by the settings protocol and the admin API.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace settings_server {

inline constexpr const char* kJsonType = "application/json; charset=UTF-8";

void SetJson(httplib::Response& response, int status, const nlohmann::json& body);
void SetError(httplib::Response& response, int status, std::string_view code, std::string_view message);

// True for "application/json" with any parameters, in any case.
bool IsJsonMediaType(std::string_view contentType);

// Parses the request body as JSON. On failure sets the error answer (415 for
// another media type, 400 for bad syntax, invalid UTF-8 or nesting deeper than
// the store accepts) and returns false.
bool ParseJsonBody(const httplib::Request& request, httplib::Response& response, nlohmann::json& body);

// Names of products and machines: 1 to 64 of [A-Za-z0-9._-], starting with a
// letter or digit, so that no name is "." or ".." or carries a path.
bool IsValidName(std::string_view name);

}  // namespace settings_server
