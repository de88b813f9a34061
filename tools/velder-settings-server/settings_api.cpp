#include "settings_api.h"

#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>

#include "access_log.h"
#include "client_document.h"
#include "http_json.h"
#include "store/velder_path.h"

namespace settings_server {
namespace {

using json = nlohmann::json;

constexpr const char* kSettingsPath = R"(/velder/client-api/v3/clients/me/products/([^/]+)/settings)";
constexpr const char* kNodePath = R"(/velder/client-api/v3/clients/me/products/([^/]+)/node)";

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int SocketOf(const httplib::Request& request) { return request.ssl != nullptr ? SSL_get_fd(request.ssl) : -1; }

// True when the peer closed its side (or the socket failed): an idle push
// stream learns this without waiting for its next write.
bool PeerGone(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

SettingsApi::SettingsApi(SettingsDatabase& database, TokenService& tokens, PushHub& hub, FaultInjector& faults,
                         Clock clock)
    : database_(database), tokens_(tokens), hub_(hub), faults_(faults), clock_(std::move(clock)) {}

json SettingsApi::RefreshMessage() { return {{"data", {{"pns_message_type_id", "velder.settings.refresh"}}}}; }

void SettingsApi::Register(httplib::Server& server) {
  using httplib::Request;
  using httplib::Response;
  server.Get(kSettingsPath, [this](const Request& q, Response& r) {
    Serve(RequestKind::kGetSettings, q, r, [this](const Request& q, Response& r, bool f) { GetSettings(q, r, f); });
  });
  server.Patch(kSettingsPath, [this](const Request& q, Response& r) {
    Serve(RequestKind::kPatchSettings, q, r, [this](const Request& q, Response& r, bool f) { PatchSettings(q, r, f); });
  });
  server.Patch(kNodePath, [this](const Request& q, Response& r) {
    Serve(RequestKind::kNode, q, r, [this](const Request& q, Response& r, bool) { PatchNode(q, r); });
  });
  server.Post("/velder/auth/v1/token", [this](const Request& q, Response& r) {
    Serve(RequestKind::kToken, q, r, [this](const Request& q, Response& r, bool) { PostToken(q, r); });
  });
  server.Get("/velder/push/v1/stream", [this](const Request& q, Response& r) {
    Serve(RequestKind::kPush, q, r, [this](const Request& q, Response& r, bool) { GetStream(q, r); });
  });
}

void SettingsApi::Stop() {
  platform::MutexLock lock(stopMutex_);
  stopping_ = true;
  stopWake_.NotifyAll();
}

void SettingsApi::Serve(RequestKind kind, const httplib::Request& request, httplib::Response& response,
                        const Handler& handler) {
  RequestInfo& info = CurrentRequest();
  info.txid = request.get_header_value("X-Transaction");
  info.needsTxid = kind != RequestKind::kToken && kind != RequestKind::kPush;
  // The client is known from its token; a request without a valid one can
  // only meet faults that name no client.
  const TokenService::Auth auth = kind == RequestKind::kToken
                                      ? TokenService::Auth{}
                                      : tokens_.Authenticate(request.get_header_value("Authorization"));
  const std::optional<Fault> fault = faults_.Take(kind, auth.status == 0 ? auth.client.key.sid : std::string(), SteadyMs());
  bool forceBody = false;
  if (fault) {
    switch (fault->kind) {
      case FaultKind::kStatus:
        if (fault->status == 401) response.set_header("WWW-Authenticate", "Bearer");
        SetError(response, fault->status, "injected_fault", "fault injected by the administrator");
        return;
      case FaultKind::kDelay: {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault->delayMs);
        platform::MutexLock lock(stopMutex_);
        while (!stopping_ && stopWake_.WaitUntil(stopMutex_, deadline)) {
        }
        break;
      }
      case FaultKind::kDrop:
        // Both directions: the answer httplib still tries to write goes nowhere
        // and the client sees the connection end without a byte.
        ::shutdown(SocketOf(request), SHUT_RDWR);
        info.dropped = true;
        response.status = 500;
        return;
      default:
        forceBody = true;
        break;
    }
  }
  handler(request, response, forceBody);
  if (forceBody) ApplyBodyFault(*fault, response);
}

void SettingsApi::ApplyBodyFault(const Fault& fault, httplib::Response& response) const {
  // Only a full answer can be spoiled; refusals stay as they are.
  if (response.status != 200 || response.body.empty()) return;
  switch (fault.kind) {
    case FaultKind::kNoEtag:
      response.headers.erase("ETag");
      break;
    case FaultKind::kNotJson:
      response.set_content("<html><body><h1>502 Bad Gateway</h1></body></html>\n", "text/html");
      break;
    case FaultKind::kOversize: {
      // Still valid JSON, only too large.
      std::string body = std::move(response.body);
      body.pop_back();  // the closing brace
      body += ",\"padding\":\"" + std::string(kOversizeBytes, 'x') + "\"}";
      response.set_content(body, kJsonType);
      break;
    }
    case FaultKind::kTruncate: {
      // Announces the whole length, sends half, then ends the connection.
      auto body = std::make_shared<std::string>(std::move(response.body));
      response.body.clear();
      response.set_content_provider(body->size(), kJsonType, [body](size_t, size_t, httplib::DataSink& sink) {
        sink.write(body->data(), body->size() / 2);
        return false;
      });
      break;
    }
    default:
      break;
  }
}

bool SettingsApi::Authenticate(const httplib::Request& request, httplib::Response& response, ClientRecord& client) {
  const TokenService::Auth auth = tokens_.Authenticate(request.get_header_value("Authorization"));
  if (auth.status == 401) {
    response.set_header("WWW-Authenticate", "Bearer error=\"invalid_token\"");
    SetError(response, 401, "invalid_token", auth.error);
    return false;
  }
  CurrentRequest().client = auth.client.key.Text();
  database_.NoteRequest(auth.client.key, clock_(), request.remote_addr);
  if (auth.status != 0) {
    SetError(response, auth.status, "client_disabled", auth.error);
    return false;
  }
  client = auth.client;
  return true;
}

bool SettingsApi::FindProduct(const httplib::Request& request, httplib::Response& response, std::string& name,
                              ProductRecord& product) {
  name = request.matches.size() > 1 ? request.matches[1].str() : std::string();
  if (!IsValidName(name)) {
    SetError(response, 400, "invalid_product", "not a product name");
    return false;
  }
  auto found = database_.FindProduct(name);
  if (!found) {
    SetError(response, 404, "unknown_product", "no product of this name");
    return false;
  }
  product = std::move(*found);
  return true;
}

void SettingsApi::GetSettings(const httplib::Request& request, httplib::Response& response, bool forceBody) {
  ClientRecord client;
  std::string name;
  ProductRecord product;
  if (!Authenticate(request, response, client) || !FindProduct(request, response, name, product)) return;
  if (database_.NoteProductUse(client.key, name) == DbResult::kFailed) {
    SetError(response, 500, "storage_failed", "the database could not be written");
    return;
  }
  const ClientDocument document = BuildClientDocument(product, database_.Overrides(client.key, name));
  response.set_header("ETag", document.etag);
  const std::string ifNoneMatch = request.get_header_value("If-None-Match");
  if (!forceBody && !ifNoneMatch.empty() && IfNoneMatchMatches(ifNoneMatch, document.etag)) {
    response.status = 304;
    return;
  }
  response.status = 200;
  response.set_content(document.body, kJsonType);
}

void SettingsApi::PatchSettings(const httplib::Request& request, httplib::Response& response, bool forceBody) {
  ClientRecord client;
  std::string name;
  ProductRecord product;
  if (!Authenticate(request, response, client) || !FindProduct(request, response, name, product)) return;
  const std::string ifMatch = request.get_header_value("If-Match");
  if (ifMatch.empty()) {
    SetError(response, 428, "precondition_required", "a change needs If-Match with the current ETag");
    return;
  }
  json body;
  if (!ParseJsonBody(request, response, body)) return;
  auto values = body.is_object() ? body.find("values") : body.end();
  if (!body.is_object() || values == body.end() || !values->is_object()) {
    SetError(response, 400, "invalid_patch", "the body must be an object with the object member \"values\"");
    return;
  }

  int outcome = 200;
  std::string violation;
  ClientDocument document;
  const DbResult result = database_.EditOverrides(client.key, name, [&](const ProductRecord& p, json& overrides) {
    if (!IfMatchMatches(ifMatch, BuildClientDocument(p, overrides).etag)) {
      outcome = 412;
      return false;
    }
    json next = overrides;
    next.merge_patch(*values);
    const json merged = MergedValues(p, next);
    // What a client's hive could not hold is refused like a schema violation.
    for (const auto& [key, ignored] : values->items()) {
      auto member = merged.find(key);
      if (member != merged.end() && !VelderPath::IsValidValue(*member)) {
        outcome = 422;
        violation = key;
        return false;
      }
    }
    if (auto path = FindSchemaViolation(p.schema, merged, *values)) {
      outcome = 422;
      violation = *path;
      return false;
    }
    overrides = std::move(next);
    document = BuildClientDocument(p, overrides);
    return true;
  });
  if (result == DbResult::kNotFound) {
    SetError(response, 404, "unknown_product", "no product of this name");
    return;
  }
  if (result != DbResult::kOk) {
    SetError(response, 500, "storage_failed", "the database could not be written; nothing changed");
    return;
  }
  if (outcome == 412) {
    SetError(response, 412, "precondition_failed", "the ETag is not the current one; nothing changed");
    return;
  }
  if (outcome == 422) {
    SetJson(response, 422,
            {{"error",
              {{"code", "schema_violation"},
               {"message", "the value at '" + violation + "' does not match the schema; nothing changed"},
               {"path", violation}}}});
    return;
  }
  response.set_header("ETag", document.etag);
  if (forceBody || request.get_param_value("return-data") == "true") {
    response.status = 200;
    response.set_content(document.body, kJsonType);
  } else {
    response.status = 204;
  }
}

void SettingsApi::PatchNode(const httplib::Request& request, httplib::Response& response) {
  ClientRecord client;
  std::string name;
  ProductRecord product;
  if (!Authenticate(request, response, client) || !FindProduct(request, response, name, product)) return;
  json body;
  if (!ParseJsonBody(request, response, body)) return;
  auto pnsId = body.is_object() ? body.find("pns_id") : body.end();
  if (!body.is_object() || pnsId == body.end() || !pnsId->is_string() || pnsId->get<std::string>().size() > 512) {
    SetError(response, 400, "invalid_node", "the body must be an object with the string member \"pns_id\"");
    return;
  }
  if (database_.SetReportedPnsId(client.key, pnsId->get<std::string>()) != DbResult::kOk) {
    SetError(response, 500, "storage_failed", "the database could not be written");
    return;
  }
  response.status = 204;
}

void SettingsApi::PostToken(const httplib::Request& request, httplib::Response& response) {
  json body;
  if (!ParseJsonBody(request, response, body)) return;
  if (!body.is_object()) {
    SetError(response, 400, "invalid_request", "the body must be a JSON object");
    return;
  }
  const TokenService::Grant grant = tokens_.Issue(body);
  if (!grant.client.machine.empty()) {
    CurrentRequest().client = grant.client.Text();
    database_.NoteRequest(grant.client, clock_(), request.remote_addr);
  }
  response.set_header("Cache-Control", "no-store");
  SetJson(response, grant.status, grant.body);
}

void SettingsApi::GetStream(const httplib::Request& request, httplib::Response& response) {
  ClientRecord client;
  if (!Authenticate(request, response, client)) return;
  std::shared_ptr<PushStream> stream = hub_.Open(client.key, client.pnsId);
  if (!stream) {
    SetError(response, 503, "stopping", "the server is stopping");
    return;
  }
  // Compression would hold events back in the compressor's buffer.
  const_cast<httplib::Request&>(request).headers.erase("Accept-Encoding");
  response.set_header("Cache-Control", "no-cache");
  CurrentRequest().streamed = true;
  const int fd = SocketOf(request);
  response.set_chunked_content_provider(
      "text/event-stream",
      [stream, fd](size_t, httplib::DataSink& sink) {
        std::string text;
        switch (stream->Wait(text, std::chrono::seconds(1))) {
          case PushStream::Next::kClosed:
            sink.done();
            return true;
          case PushStream::Next::kIdle:
            return !PeerGone(fd);
          case PushStream::Next::kEvent:
            CurrentRequest().streamedBytes += text.size();
            return sink.write(text.data(), text.size());
        }
        return false;
      },
      [this, stream](bool) { hub_.Remove(stream); });
}

}  // namespace settings_server
