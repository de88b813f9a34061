// How the settings manager answers one client request: the addressed hive,
// the caller's rights, one handler per message type, and a log line per
// request.
#include <algorithm>

#include "logging/log.h"
#include "logging/log_rate_limiter.h"
#include "manager/request_timer.h"
#include "manager/settings_manager.h"
#include "platform/resource_limits.h"
#include "platform/clock.h"
#include "platform/sid.h"
#include "wire/value_conversion.h"
#include "store/value_type.h"

using nlohmann::json;

namespace {

// What a SetValue request writes, for the log line.
std::string ValueSuffix(const IpcMessage& request) {
  if (request.message_type() != MessageType::SetValue) return {};
  const std::string& bytes = request.value();
  switch (static_cast<ValueKind>(request.value_kind())) {
    case ValueKind::Boolean: return bytes.size() == 1 && bytes[0] != 0 ? "=true" : "=false";
    case ValueKind::Integer: {
      // Read as the request handler reads it: exactly 8 bytes, else 0.
      const std::optional<json> value = IpcValue::ToJson(request);
      return fmt::format("={}", value && value->is_number_integer() ? value->get<int64_t>() : 0);
    }
    case ValueKind::String: return "='" + bytes + "'";
    default: return {};
  }
}

}  // namespace

bool SettingsManager::HandleRequest(const IpcMessage& request, IpcMessage& response, const std::string& client_user,
                                    bool is_admin, const std::string& sender_channel) {
  response.set_message_type(MessageType::Response);
  if (request.name_space().empty()) {
    HV_LOG_REFUSAL(HvQorLogging::kWarning, client_user, "Invalid request, missing namesspace");
    return false;
  }

  // Spelled once, here, as hive files and rights compare it: "s-1-5-018"
  // is the system hive, not a second hive of its own.
  std::string user = request.user().empty() ? client_user : platform::CanonicalSidText(request.user());
  if (user.empty() && !request.user().empty()) {
    response.set_result(ResultCode::InvalidParameters);
    return true;
  }
  // A client the IPC library could not identify, asking for its own hive,
  // names no hive at all.
  if (user.empty()) {
    HV_LOG_REFUSAL(HvQorLogging::kWarning, client_user, "Request from a client without a user, client '{}'",
                   request.client());
    response.set_result(ResultCode::InvalidParameters);
    return true;
  }

  RequestContext context;
  context.product = Settings::kProduct;
  context.user = user;
  if (is_admin) {
    context.read = context.write = context.admin = true;
  } else if (user == client_user) {
    context.read = context.write = true;
  } else if (user == Settings::kSystemUser) {
    context.read = true;
  }
  // Every request needs to read; without it no hive is looked up or created.
  if (!context.read) {
    response.set_result(ResultCode::AccessDenied);
    return true;
  }

  const std::shared_ptr<Settings> hive = GetOrCreateHive(user);
  if (hive == nullptr) {
    // A user that is no SID names no hive; a SID's hive that could not be
    // loaded is a failure of the service.
    response.set_result(platform::IsCanonicalSidText(user) ? ResultCode::GenericFailure : ResultCode::AccessDenied);
    return true;
  }
  if (hive->ClearLocalCreated()) {
    HV_LOG_INFO("[{}, {}] -- hive is created by client {}", request.name_space(), request.user(), request.client());
  }
  HandleRequestByType(*hive, request, response, context, sender_channel);
  return true;
}

std::shared_ptr<Settings> SettingsManager::GetOrCreateHive(const std::string& user) {
  std::shared_ptr<Settings> hive;
  {
    // The hive's user never changes, so it is compared without the hive's
    // lock: a hive busy with a long write holds up no other request.
    platform::MutexLock lock(mutex_);
    for (;;) {
      const auto it = std::find_if(hives_.begin(), hives_.end(), [&](const auto& h) { return h->user() == user; });
      if (it != hives_.end()) {
        hive = *it;
        break;
      }
      if (!loading_.contains(user)) break;
      // Another request is loading this hive.
      loaded_.Wait(mutex_);
    }
    if (hive == nullptr) {
      if (!platform::IsCanonicalSidText(user)) return nullptr;
      loading_.insert(user);
    }
  }
  if (hive != nullptr) {
    hive->Touch();
    return hive;
  }

  // This request loads the hive, without the manager lock: other users'
  // requests go on meanwhile.
  std::shared_ptr<Settings> made;
  try {
    made = CreateHive(user);
  } catch (const std::exception& e) {
    HV_LOG_ERROR("Failed to load hive '{}': {}", Settings::MakeDisplayName(user), e.what());
  } catch (...) {
    HV_LOG_ERROR("Failed to load hive '{}'", Settings::MakeDisplayName(user));
  }
  {
    // Also after a failure, so that the requests waiting for it go on (and
    // the next one tries again).
    platform::MutexLock lock(mutex_);
    loading_.erase(user);
    if (made != nullptr) hives_.push_back(made);
  }
  loaded_.NotifyAll();
  // The hive woke the update loop while it loaded, before the loop could see
  // it: the loop computes its wait again now that the hive is in the list.
  if (made != nullptr) wake_event_.Set();
  return made;
}

std::shared_ptr<Settings> SettingsManager::CreateHive(const std::string& user) {
  auto hive = std::make_shared<Settings>(user, storage_, *notifier_, wake_event_, &statistics_, identity_);
  hive->Load();
  return hive;
}

// One row per request type: the rights the caller needs and who answers. A
// type without a row is answered with InvalidParameters. Reading is settled
// by HandleRequest already, before any hive is looked up. The hive checks
// writes again itself; refusing here first means that a caller without the
// right learns nothing else about the request (not even that its path is
// malformed).
struct SettingsManager::Route {
  MessageType type;
  uint8_t needs;  // Right bits
  ResultCode (SettingsManager::*handler)(const Call&);
  // Logged when the caller lacks `needs`; empty: refused silently.
  std::string_view refusal;
};

const SettingsManager::Route* SettingsManager::FindRoute(MessageType type) {
  using M = MessageType;
  using S = SettingsManager;
  static constexpr Route kRoutes[] = {
      {M::AccessCheck, kRead, &S::HandleAccessCheck, {}},
      {M::GetValue, kRead, &S::HandleGetValue, {}},
      {M::SetValue, kRead | kWrite, &S::HandleSetValue, {}},
      {M::DeleteValue, kRead | kWrite, &S::HandleDeleteValue, {}},
      {M::GetMetaData, kRead, &S::HandleGetMetaData, {}},
      {M::SetMetaData, kRead | kWrite, &S::HandleSetMetaData, {}},
      {M::Enumerate, kRead, &S::HandleEnumerate, {}},
      {M::EnumerateUsers, kRead | kAdmin, &S::HandleEnumerateUsers, {}},
      {M::Subscribe, kRead, &S::HandleSubscribe, {}},
      {M::Unsubscribe, kRead, &S::HandleUnsubscribe, {}},
      {M::UnsubscribeAll, kRead, &S::HandleUnsubscribeAll, {}},
      {M::Synchronize, kRead, &S::HandleSynchronize, {}},
      {M::CheckConnected, kRead, &S::HandleCheckConnected, {}},
      {M::Logout, kRead | kWrite, &S::HandleLogout, "Logout called without write rights"},
  };
  for (const Route& route : kRoutes) {
    if (route.type == type) return &route;
  }
  return nullptr;
}

ResultCode SettingsManager::Dispatch(const Call& call) {
  const Route* route = FindRoute(call.request.message_type());
  if (route == nullptr) return ResultCode::InvalidParameters;
  const uint8_t held = (call.context.read ? kRead : 0) | (call.context.write ? kWrite : 0) |
                       (call.context.admin ? kAdmin : 0);
  if ((route->needs & ~held) != 0) {
    if (!route->refusal.empty()) HV_LOG_REFUSAL(HvQorLogging::kWarning, call.context.user, "{}", route->refusal);
    return ResultCode::AccessDenied;
  }
  return (this->*route->handler)(call);
}

void SettingsManager::HandleRequestByType(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                          const RequestContext& context, const std::string& sender_channel) {
  const MessageType type = request.message_type();
  {
    // Counted by program, not by connection: a client's name stays the same
    // from one connection to the next.
    RequestTimer timer(&statistics_, static_cast<uint8_t>(type), request.client());
    response.set_result(Dispatch(Call{hive, request, response, context, sender_channel}));
  }
  if (type == MessageType::AccessCheck || !HvQorLogging::LogIsEnabled(HvQorLogging::kDebug)) return;
  HV_LOG_DEBUG("{}: {}{} [{}{}{}] '{}' ({}) - {}", MessageTypeName(type), request.path(), ValueSuffix(request),
               context.read ? "R" : "r", context.write ? "W" : "w", context.admin ? "A" : "a", request.client(),
               hive.display_name(), ResultCodeName(response.result()));
}

ResultCode SettingsManager::HandleAccessCheck(const Call&) { return ResultCode::Success; }

ResultCode SettingsManager::HandleGetValue(const Call& call) {
  VelderPath::Path path;
  if (!VelderPath::Parse(call.request.path(), path)) return ResultCode::InvalidParameters;
  json value;
  const ResultCode result = call.hive.GetValue(path, value, call.context);
  if (result == ResultCode::Success && !IpcValue::FromJson(value, &call.response)) return ResultCode::InvalidType;
  return result;
}

ResultCode SettingsManager::HandleSetValue(const Call& call) {
  VelderPath::Path path;
  if (!VelderPath::Parse(call.request.path(), path)) return ResultCode::InvalidParameters;
  std::string parse_error;
  const std::optional<json> value = IpcValue::ToJson(call.request, &parse_error);
  if (!parse_error.empty()) HV_LOG_REFUSAL(HvQorLogging::kWarning, call.context.user, "Parse error {}", parse_error);
  if (!value) return ResultCode::InvalidParameters;
  // The local document must stay loadable: a write that could take it past
  // its limit is refused before anything changes (the value may be stored
  // twice, in the overlay and in the update journal).
  const size_t growth = 2 * (call.request.value().size() + call.request.path().size() + 16);
  if (!call.hive.LocalDocumentFits(growth, resource_limits::kMaxLocalDocumentBytes)) {
    return ResultCode::SizeQuotaExceeded;
  }
  return call.hive.SetValue(path, *value, call.context, call.sender_channel);
}

ResultCode SettingsManager::HandleDeleteValue(const Call& call) {
  VelderPath::Path path;
  if (!VelderPath::Parse(call.request.path(), path)) return ResultCode::InvalidParameters;
  return call.hive.DeleteValue(path, call.context, call.sender_channel);
}

ResultCode SettingsManager::HandleGetMetaData(const Call& call) {
  VelderPath::Path path;
  if (!VelderPath::Parse(call.request.path(), path)) return ResultCode::InvalidParameters;
  json value;
  const ResultCode result = call.hive.GetValue(path, value, call.context);
  if (result == ResultCode::Success) {
    IpcValue::SetPair(&call.response, static_cast<uint32_t>(ValueTypeOf(value)), call.hive.GetConstraints(path));
  }
  return result;
}

ResultCode SettingsManager::HandleSetMetaData(const Call& call) {
  VelderPath::Path path;
  if (!VelderPath::Parse(call.request.path(), path)) return ResultCode::InvalidParameters;
  // The flags are the second word of a pair; anything else asks for none.
  uint32_t first = 0;
  uint32_t flags = 0;
  if (!IpcValue::GetPair(call.request, &first, &flags)) flags = 0;
  return call.hive.SetLocalConstraints(path, flags, call.context, call.sender_channel);
}

ResultCode SettingsManager::HandleEnumerate(const Call& call) {
  std::vector<Settings::Entry> entries;
  const ResultCode result = call.hive.Enumerate(call.request.path(), call.context, entries);
  if (result != ResultCode::Success) return result;
  std::vector<IpcValue::ListEntry> list;
  list.reserve(entries.size());
  for (Settings::Entry& entry : entries) list.push_back({std::move(entry.name), static_cast<uint8_t>(entry.type)});
  if (!IpcValue::SetList(&call.response, list)) {
    // A member name with a "," (only a server document can hold one) cannot
    // be listed: the client could not split the names again.
    HV_LOG_WARNING("Cannot list the members of '{}' in hive '{}'", call.request.path(), call.hive.display_name());
    return ResultCode::InvalidType;
  }
  return ResultCode::Success;
}

ResultCode SettingsManager::HandleEnumerateUsers(const Call& call) {
  std::vector<Storage::UserEntry> users;
  const uint32_t status = storage_.ListUsers(users);
  if (status == Storage::kStatusOk) {
    std::vector<IpcValue::ListEntry> list;
    list.reserve(users.size());
    for (Storage::UserEntry& user : users) {
      list.push_back({std::move(user.name), static_cast<uint8_t>(ValueType::Other)});
    }
    // User names are SID texts: they never hold the list's separator.
    IpcValue::SetList(&call.response, list);
  }
  return Storage::ToResultCode(status);
}

ResultCode SettingsManager::HandleSubscribe(const Call& call) {
  VelderPath::Path path;
  if (call.sender_channel.empty() || !VelderPath::Parse(call.request.path(), path)) {
    return ResultCode::InvalidParameters;
  }
  // An existing subscription is no failure: the client listens either way.
  const bool full = notifier_->AddSubscription(call.context.product, call.context.user, path, call.sender_channel) ==
                    ChangeNotifier::SubscribeOutcome::kChannelFull;
  return full ? ResultCode::SizeQuotaExceeded : ResultCode::Success;
}

ResultCode SettingsManager::HandleUnsubscribe(const Call& call) {
  VelderPath::Path path;
  if (call.sender_channel.empty() || !VelderPath::Parse(call.request.path(), path)) {
    return ResultCode::InvalidParameters;
  }
  const bool removed = notifier_->Unsubscribe(call.context.product, call.context.user, path, call.sender_channel);
  return removed ? ResultCode::Success : ResultCode::NotFound;
}

ResultCode SettingsManager::HandleUnsubscribeAll(const Call& call) {
  if (call.sender_channel.empty()) return ResultCode::InvalidParameters;
  return notifier_->UnsubscribeAll(call.sender_channel) ? ResultCode::Success : ResultCode::NotFound;
}

ResultCode SettingsManager::HandleSynchronize(const Call& call) {
  bool reset = call.context.admin;
  if (!reset) {
    const int64_t now = platform::CurrentClock().NowSeconds();
    int64_t last = last_user_backoff_reset_.load();
    reset = (last == std::numeric_limits<int64_t>::min() || now - last >= kUserBackoffResetInterval || now < last) &&
            last_user_backoff_reset_.compare_exchange_strong(last, now);
  }
  if (reset) {
    server_comm_->ResetFailCount();
    HV_LOG_INFO("Server back-off reset on request of client '{}', hive '{}'", call.request.client(),
                call.hive.display_name());
  }
  call.hive.UpdateNow();
  return ResultCode::Success;
}

ResultCode SettingsManager::HandleCheckConnected(const Call& call) {
  IpcValue::SetBoolean(&call.response, call.hive.connected());
  return ResultCode::Success;
}

ResultCode SettingsManager::HandleLogout(const Call& call) {
  call.hive.SetToNotConnected();
  return ResultCode::Success;
}
