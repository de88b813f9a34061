#include "client/velder_client.h"

#include <errno.h>  // program_invocation_short_name

#include <fmt/format.h>

#include <cstdlib>

#include "client/value_codec.h"
#include "platform/sid.h"
#include "platform/utf.h"
#include "qor/ipc/hv_qor_ipc.h"
#include "wire/ipc_message.h"

namespace velder {
namespace {

using nlohmann::json;

constexpr char kFallbackClientName[] = "velder-client";

std::string DefaultClientName() {
  const char* name = program_invocation_short_name;
  if (name && *name && platform::IsValidUtf8(name)) return name;
  return kFallbackClientName;
}

// The failure of a request as the IPC library reports it.
Status RequestFailure(uint32_t rc) {
  switch (rc) {
    case HV_IPC_NOT_HANDLED: return Status::FromError(ClientError::NotHandled);
    case HV_IPC_DISCONNECTED: return Status::FromError(ClientError::Disconnected);
    case HV_IPC_TIMEOUT: return Status::FromError(ClientError::Timeout);
    case HV_IPC_TOO_LARGE: return Status::FromError(ClientError::TooLarge);
    case HV_IPC_WRONG_THREAD: return Status::FromError(ClientError::WrongThread);
    case HV_IPC_INVALID_PARAMETER: return Status::FromError(ClientError::InvalidArgument);
    default: return Status::FromError(ClientError::SystemError, fmt::format("channel result {}", rc));
  }
}

Status ConnectFailure(uint32_t rc, const std::string& identity) {
  switch (rc) {
    case HV_IPC_NOT_FOUND:
      return Status::FromError(ClientError::Unreachable,
                               fmt::format("no service '{}' of identity '{}' is listening", kServiceName, identity));
    case HV_IPC_DISCONNECTED:
      return Status::FromError(ClientError::Unreachable, "the service closed the connection before greeting");
    case HV_IPC_ACCESS_DENIED:
      return Status::FromError(ClientError::AccessDenied, "the service's socket may not be opened");
    case HV_IPC_TIMEOUT:
      return Status::FromError(ClientError::Timeout, "the service did not accept the connection in time");
    case HV_IPC_INVALID_PARAMETER:
      return Status::FromError(ClientError::InvalidArgument,
                               fmt::format("'{}' is not a valid identity (letters, digits, '_', '-', '.')", identity));
    default:
      return Status::FromError(ClientError::SystemError, fmt::format("channel result {}", rc));
  }
}

Status CheckOptions(const ClientOptions& o) {
  if (o.name_space.empty()) return Status::FromError(ClientError::InvalidArgument, "the namespace is empty");
  if (!platform::IsValidUtf8(o.name_space)) {
    return Status::FromError(ClientError::InvalidArgument, "the namespace is not valid UTF-8");
  }
  if (!o.user.empty() && !platform::IsValidSidText(o.user)) {
    return Status::FromError(ClientError::InvalidArgument, fmt::format("'{}' is not a SID such as S-1-22-1-1000",
                                                                       platform::IsValidUtf8(o.user) ? o.user : "?"));
  }
  if (!platform::IsValidUtf8(o.client_name)) {
    return Status::FromError(ClientError::InvalidArgument, "the client name is not valid UTF-8");
  }
  return {};
}

}  // namespace

std::string ResolveIdentity(std::string_view identity) {
  if (!identity.empty()) return std::string(identity);
  const char* env = std::getenv(kIdentityVariable);
  if (env && *env) return env;
  return kDefaultIdentity;
}

Client::Client(ClientOptions options)
    : options_(std::move(options)),
      identity_(ResolveIdentity(options_.identity)),
      handler_(options_.on_notification ? std::make_shared<const NotificationHandler>(options_.on_notification)
                                        : nullptr) {}

Client::~Client() {
  if (handle_) HvIPC_ClientClose(handle_);
}

Status Client::Connect(ClientOptions options, std::unique_ptr<Client>* client) {
  client->reset();
  if (options.client_name.empty()) options.client_name = DefaultClientName();
  if (Status s = CheckOptions(options); !s.ok()) return s;
  std::unique_ptr<Client> c(new Client(std::move(options)));
  HvIpcClient* handle = nullptr;
  const uint32_t rc = HvIPC_ClientConnect(&handle, c->identity_.c_str(), kServiceName,
                                          c->options_.connect_timeout_ms, &Client::OnNotification, c.get());
  if (rc != HV_IPC_OK) return ConnectFailure(rc, c->identity_);
  c->handle_ = handle;
  const char* channel = HvIPC_ClientGetChannel(handle);
  c->channel_ = channel ? channel : "";
  *client = std::move(c);
  return {};
}

void Client::OnNotification(uint32_t kind, const uint8_t* bytes, uint32_t count, void* context) {
  auto* self = static_cast<Client*>(context);
  Notification n = DecodeNotification(kind, std::string_view(reinterpret_cast<const char*>(bytes), count));
  if (n.kind == Notification::Kind::Disconnected) self->connected_.store(false, std::memory_order_release);
  // The handler may destroy the client: keep the handler alive on our own
  // reference and touch nothing of `self` once it runs.
  const std::shared_ptr<const NotificationHandler> handler = self->handler_;
  if (handler) (*handler)(n);
}

Status Client::Exchange(IpcMessage& request, IpcMessage* response) {
  request.set_name_space(options_.name_space);
  request.set_user(options_.user);
  request.set_client(options_.client_name);
  size_t count = 0;
  const uint8_t* bytes = request.Serialize(&count);
  if (!bytes) return Status::FromError(ClientError::InvalidArgument, "the request cannot be written as an envelope");
  if (count > HV_IPC_MAX_PAYLOAD) {
    return Status::FromError(ClientError::TooLarge, fmt::format("a request of {} bytes", count));
  }

  uint8_t* answer = nullptr;
  uint32_t answer_count = 0;
  const uint32_t rc = HvIPC_ClientRequest(handle_, HV_IPC_KIND_ENVELOPE, bytes, static_cast<uint32_t>(count),
                                          options_.request_timeout_ms, &answer, &answer_count);
  if (rc != HV_IPC_OK) {
    if (rc == HV_IPC_DISCONNECTED) connected_.store(false, std::memory_order_release);
    return RequestFailure(rc);
  }
  const bool parsed = answer_count > 0 && response->Deserialize(answer, answer_count);
  HvIPC_ClientFreeBuffer(answer);
  if (answer_count == 0) return Status::FromError(ClientError::BadResponse, "an empty answer");
  if (!parsed) {
    return Status::FromError(ClientError::BadResponse, fmt::format("{} bytes that are not an envelope", answer_count));
  }
  if (response->message_type() != MessageType::Response) {
    return Status::FromError(ClientError::BadResponse,
                             fmt::format("message type {} instead of a response", static_cast<int>(response->message_type())));
  }
  return Status::FromCode(response->result());
}

Status Client::Simple(MessageType type, std::string_view path) {
  IpcMessage request, response;
  request.set_message_type(type);
  request.set_path(std::string(path));
  return Exchange(request, &response);
}

Status Client::AccessCheck() { return Simple(MessageType::AccessCheck, ""); }

Result<json> Client::GetValue(std::string_view path) {
  IpcMessage request, response;
  request.set_message_type(MessageType::GetValue);
  request.set_path(std::string(path));
  Result<json> r;
  r.status = Exchange(request, &response);
  if (r.ok()) r.status = ValueCodec::DecodeValue(response, &r.value);
  return r;
}

template <typename T>
Result<T> Client::Typed(std::string_view path, const char* wanted) {
  Result<json> any = GetValue(path);
  Result<T> r;
  r.status = any.status;
  if (!r.ok()) return r;
  const bool fits = [&] {
    if constexpr (std::is_same_v<T, bool>) return any.value.is_boolean();
    if constexpr (std::is_same_v<T, int64_t>) return any.value.is_number_integer();
    if constexpr (std::is_same_v<T, std::string>) return any.value.is_string();
  }();
  if (!fits) {
    r.status = Status::FromError(ClientError::UnexpectedType,
                                 fmt::format("'{}' holds a {} value, not {}", path, any.value.type_name(), wanted));
    return r;
  }
  r.value = any.value.get<T>();
  return r;
}

Result<bool> Client::GetBool(std::string_view path) { return Typed<bool>(path, "a boolean"); }
Result<int64_t> Client::GetInt(std::string_view path) { return Typed<int64_t>(path, "an integer"); }
Result<std::string> Client::GetString(std::string_view path) { return Typed<std::string>(path, "a string"); }

Status Client::SetValue(std::string_view path, const json& value) {
  IpcMessage request, response;
  request.set_message_type(MessageType::SetValue);
  request.set_path(std::string(path));
  if (Status s = ValueCodec::EncodeRequestValue(value, &request); !s.ok()) return s;
  return Exchange(request, &response);
}

Status Client::SetBool(std::string_view path, bool value) { return SetValue(path, json(value)); }
Status Client::SetInt(std::string_view path, int64_t value) { return SetValue(path, json(value)); }
Status Client::SetString(std::string_view path, std::string_view value) {
  return SetValue(path, json(std::string(value)));
}

Status Client::SetJsonText(std::string_view path, std::string_view text) {
  if (VelderPath::NestsDeeperThan(text, VelderPath::kMaxDepth)) {
    return Status::FromError(ClientError::InvalidArgument,
                             fmt::format("the JSON value nests deeper than {} levels", VelderPath::kMaxDepth));
  }
  json value;
  try {
    value = json::parse(text);
  } catch (const json::exception& e) {
    return Status::FromError(ClientError::InvalidArgument, fmt::format("not a JSON document: {}", e.what()));
  }
  return SetValue(path, value);
}

Status Client::DeleteValue(std::string_view path) {
  return Simple(MessageType::DeleteValue, path);
}

Result<MetaData> Client::GetMetaData(std::string_view path) {
  IpcMessage request, response;
  request.set_message_type(MessageType::GetMetaData);
  request.set_path(std::string(path));
  Result<MetaData> r;
  r.status = Exchange(request, &response);
  if (!r.ok()) return r;
  uint32_t type = 0, constraints = 0;
  r.status = ValueCodec::DecodePair(response, &type, &constraints);
  if (!r.ok()) return r;
  r.value.type = ValueTypeFromCode(type);
  r.value.constraints = constraints;
  return r;
}

Status Client::SetMetaData(std::string_view path, uint32_t constraints) {
  IpcMessage request, response;
  request.set_message_type(MessageType::SetMetaData);
  request.set_path(std::string(path));
  // The service reads the flags from the second word.
  IpcValue::SetPair(&request, 0, constraints);
  return Exchange(request, &response);
}

Result<std::vector<Entry>> Client::Enumerate(std::string_view path) {
  IpcMessage request, response;
  request.set_message_type(MessageType::Enumerate);
  request.set_path(std::string(path));
  Result<std::vector<Entry>> r;
  r.status = Exchange(request, &response);
  if (!r.ok()) return r;
  std::vector<IpcValue::ListEntry> list;
  r.status = ValueCodec::DecodeList(response, &list);
  if (!r.ok()) return r;
  r.value.reserve(list.size());
  for (auto& e : list) {
    r.value.push_back(Entry{std::move(e.name), ValueTypeFromCode(e.type_code)});
  }
  return r;
}

Result<std::vector<std::string>> Client::EnumerateUsers() {
  IpcMessage request, response;
  request.set_message_type(MessageType::EnumerateUsers);
  Result<std::vector<std::string>> r;
  r.status = Exchange(request, &response);
  if (!r.ok()) return r;
  std::vector<IpcValue::ListEntry> list;
  r.status = ValueCodec::DecodeList(response, &list);
  if (!r.ok()) return r;
  r.value.reserve(list.size());
  for (auto& e : list) r.value.push_back(std::move(e.name));
  return r;
}

Status Client::Subscribe(std::string_view path) { return Simple(MessageType::Subscribe, path); }
Status Client::Unsubscribe(std::string_view path) {
  return Simple(MessageType::Unsubscribe, path);
}
Status Client::UnsubscribeAll() { return Simple(MessageType::UnsubscribeAll, ""); }
Status Client::Synchronize() { return Simple(MessageType::Synchronize, ""); }
Status Client::Logout() { return Simple(MessageType::Logout, ""); }

Status Client::ReloadBaseFile() {
  // Not an envelope: a message kind of its own, with no bytes and no answer
  // beyond whether the service handled it.
  uint8_t* answer = nullptr;
  uint32_t answer_count = 0;
  const uint32_t rc = HvIPC_ClientRequest(handle_, HV_IPC_KIND_RELOAD_BASE_FILE, nullptr, 0,
                                          options_.request_timeout_ms, &answer, &answer_count);
  HvIPC_ClientFreeBuffer(answer);
  if (rc == HV_IPC_OK) return {};
  if (rc == HV_IPC_DISCONNECTED) connected_.store(false, std::memory_order_release);
  if (rc == HV_IPC_NOT_HANDLED) {
    return Status::FromError(ClientError::NotHandled, "only administrators may have the base file reloaded");
  }
  return RequestFailure(rc);
}

Result<bool> Client::CheckConnected() {
  IpcMessage request, response;
  request.set_message_type(MessageType::CheckConnected);
  Result<bool> r;
  r.status = Exchange(request, &response);
  if (!r.ok()) return r;
  json flag;
  r.status = ValueCodec::DecodeValue(response, &flag);
  if (r.ok() && !flag.is_boolean()) {
    r.status = Status::FromError(ClientError::BadResponse, "a connection flag that is not a boolean");
  }
  if (r.ok()) r.value = flag.get<bool>();
  return r;
}

}  // namespace velder
