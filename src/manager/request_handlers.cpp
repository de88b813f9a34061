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
#include "plugin/value_conversion.h"

using nlohmann::json;

namespace {

// What a SetValue request writes, for the log line.
std::string ValueSuffix(const IpcMessage& request) {
  if (request.message_type() != static_cast<uint8_t>(MessageType::SetValue)) return {};
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

void SetResult(IpcMessage& response, ResultCode result) { response.set_result(result); }

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
    SetResult(response, ResultCode::InvalidParameters);
    return true;
  }
  // A client the IPC library could not identify, asking for its own hive,
  // names no hive at all.
  if (user.empty()) {
    HV_LOG_REFUSAL(HvQorLogging::kWarning, client_user, "Request from a client without a user, client '{}'",
                   request.client());
    SetResult(response, ResultCode::InvalidParameters);
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
  if (!context.read) {
    SetResult(response, ResultCode::AccessDenied);
    return true;
  }

  const std::shared_ptr<Settings> hive = GetOrCreateHive(user);
  if (hive == nullptr) {
    // A user that is no SID names no hive; a SID's hive that could not be
    // loaded is a failure of the service.
    SetResult(response, platform::IsCanonicalSidText(user) ? ResultCode::GenericFailure : ResultCode::AccessDenied);
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

void SettingsManager::HandleRequestByType(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                          const RequestContext& context, const std::string& sender_channel) {
  const uint8_t type = request.message_type();
  {
    // Counted by program, not by connection: a client's name stays the same
    // from one connection to the next.
    RequestTimer timer(&statistics_, type, request.client());
    switch (type) {
      case static_cast<uint8_t>(MessageType::AccessCheck): SetResult(response, ResultCode::Success); break;
      case static_cast<uint8_t>(MessageType::GetValue): HandleGetValue(hive, request, response, context); break;
      case static_cast<uint8_t>(MessageType::SetValue):
        HandleSetValue(hive, request, response, context, sender_channel);
        break;
      case static_cast<uint8_t>(MessageType::DeleteValue):
        HandleDeleteValue(hive, request, response, context, sender_channel);
        break;
      case static_cast<uint8_t>(MessageType::GetMetaData): HandleGetMetaData(hive, request, response, context); break;
      case static_cast<uint8_t>(MessageType::SetMetaData):
        HandleSetMetaData(hive, request, response, context, sender_channel);
        break;
      case static_cast<uint8_t>(MessageType::Enumerate): HandleEnumerate(hive, request, response, context); break;
      case static_cast<uint8_t>(MessageType::EnumerateUsers):
        HandleEnumerateUsers(hive, request, response, context);
        break;
      case static_cast<uint8_t>(MessageType::Subscribe):
        HandleSubscribe(hive, request, response, context, sender_channel);
        break;
      case static_cast<uint8_t>(MessageType::Unsubscribe):
        HandleUnsubscribe(hive, request, response, context, sender_channel);
        break;
      case static_cast<uint8_t>(MessageType::UnsubscribeAll):
        HandleUnsubscribeAll(hive, request, response, context, sender_channel);
        break;
      case static_cast<uint8_t>(MessageType::Synchronize): HandleSynchronize(hive, request, response, context); break;
      case static_cast<uint8_t>(MessageType::CheckConnected):
        HandleCheckConnected(hive, request, response, context);
        break;
      case static_cast<uint8_t>(MessageType::Logout): HandleLogout(hive, request, response, context); break;
      default: SetResult(response, ResultCode::InvalidParameters); break;
    }
  }
  if (type == static_cast<uint8_t>(MessageType::AccessCheck) || !HvQorLogging::LogIsEnabled(HvQorLogging::kDebug)) {
    return;
  }
  HV_LOG_DEBUG("{}: {}{} [{}{}{}] '{}' ({}) - {}", MessageTypeName(type), request.path(), ValueSuffix(request),
               context.read ? "R" : "r", context.write ? "W" : "w", context.admin ? "A" : "a", request.client(),
               hive.display_name(), ResultCodeName(response.result()));
}

void SettingsManager::HandleGetValue(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                     const RequestContext& context) {
  VelderPath::Path path;
  if (!VelderPath::Parse(request.path(), path)) return SetResult(response, ResultCode::InvalidParameters);
  json value;
  ResultCode result = hive.GetValue(path, value, context);
  if (result == ResultCode::Success && !IpcValue::FromJson(value, &response)) result = ResultCode::InvalidType;
  SetResult(response, result);
}

void SettingsManager::HandleSetValue(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                     const RequestContext& context, const std::string& sender_channel) {
  VelderPath::Path path;
  if (!VelderPath::Parse(request.path(), path)) return SetResult(response, ResultCode::InvalidParameters);
  std::string parse_error;
  const std::optional<json> value = IpcValue::ToJson(request, &parse_error);
  if (!parse_error.empty()) HV_LOG_REFUSAL(HvQorLogging::kWarning, context.user, "Parse error {}", parse_error);
  if (!value) return SetResult(response, ResultCode::InvalidParameters);
  // The local document must stay loadable: a write that could take it past
  // its limit is refused before anything changes (the value may be stored
  // twice, in the overlay and in the update journal).
  const size_t growth = 2 * (request.value().size() + request.path().size() + 16);
  if (hive.LocalDocumentBytes() + growth > resource_limits::kMaxLocalDocumentBytes) {
    return SetResult(response, ResultCode::SizeQuotaExceeded);
  }
  SetResult(response, hive.SetValue(path, *value, context, sender_channel));
}

void SettingsManager::HandleDeleteValue(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                        const RequestContext& context, const std::string& sender_channel) {
  VelderPath::Path path;
  if (!VelderPath::Parse(request.path(), path)) return SetResult(response, ResultCode::InvalidParameters);
  SetResult(response, hive.DeleteValue(path, context, sender_channel));
}

void SettingsManager::HandleGetMetaData(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                        const RequestContext& context) {
  VelderPath::Path path;
  if (!VelderPath::Parse(request.path(), path)) return SetResult(response, ResultCode::InvalidParameters);
  json value;
  const ResultCode result = hive.GetValue(path, value, context);
  if (result == ResultCode::Success) {
    IpcValue::SetPair(&response, static_cast<uint32_t>(IpcValue::TypeCodeOf(value)), hive.GetConstraints(path));
  }
  SetResult(response, result);
}

void SettingsManager::HandleSetMetaData(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                        const RequestContext& context, const std::string& sender_channel) {
  VelderPath::Path path;
  if (!VelderPath::Parse(request.path(), path)) return SetResult(response, ResultCode::InvalidParameters);
  uint32_t first = 0;
  uint32_t flags = 0;
  if (request.value_kind() != static_cast<uint8_t>(ValueKind::Pair) || !IpcValue::GetPair(request, &first, &flags)) {
    flags = 0;
  }
  SetResult(response, hive.SetLocalConstraints(path, flags, context, sender_channel));
}

void SettingsManager::HandleEnumerate(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                      const RequestContext& context) {
  std::vector<Settings::Entry> entries;
  const ResultCode result = hive.Enumerate(request.path(), context, entries);
  if (result != ResultCode::Success) return SetResult(response, result);
  std::vector<IpcValue::ListEntry> list;
  list.reserve(entries.size());
  for (Settings::Entry& entry : entries) list.push_back({std::move(entry.name), static_cast<uint8_t>(entry.type)});
  if (!IpcValue::SetList(&response, list)) {
    // A member name with a "," (only a server document can hold one) cannot
    // be listed: the client could not split the names again.
    HV_LOG_WARNING("Cannot list the members of '{}' in hive '{}'", request.path(), hive.display_name());
    return SetResult(response, ResultCode::InvalidType);
  }
  SetResult(response, ResultCode::Success);
}

void SettingsManager::HandleEnumerateUsers(Settings&, const IpcMessage&, IpcMessage& response,
                                           const RequestContext& context) {
  if (!context.admin) return SetResult(response, ResultCode::AccessDenied);
  std::vector<Storage::UserEntry> users;
  const uint32_t status = storage_.ListUsers(users);
  if (status == Storage::kStatusOk) {
    std::vector<IpcValue::ListEntry> list;
    list.reserve(users.size());
    for (Storage::UserEntry& user : users) list.push_back({std::move(user.name), 0});
    // User names are SID texts: they never hold the list's separator.
    IpcValue::SetList(&response, list);
  }
  response.set_result(status);
}

void SettingsManager::HandleSubscribe(Settings&, const IpcMessage& request, IpcMessage& response,
                                      const RequestContext& context, const std::string& sender_channel) {
  VelderPath::Path path;
  if (sender_channel.empty() || !VelderPath::Parse(request.path(), path)) {
    return SetResult(response, ResultCode::InvalidParameters);
  }
  // An existing subscription is no failure: the client listens either way.
  const bool full = notifier_->AddSubscription(context.product, context.user, path, sender_channel) ==
                    ChangeNotifier::SubscribeOutcome::kChannelFull;
  SetResult(response, full ? ResultCode::SizeQuotaExceeded : ResultCode::Success);
}

void SettingsManager::HandleUnsubscribe(Settings&, const IpcMessage& request, IpcMessage& response,
                                        const RequestContext& context, const std::string& sender_channel) {
  VelderPath::Path path;
  if (sender_channel.empty() || !VelderPath::Parse(request.path(), path)) {
    return SetResult(response, ResultCode::InvalidParameters);
  }
  const bool removed = notifier_->Unsubscribe(context.product, context.user, path, sender_channel);
  SetResult(response, removed ? ResultCode::Success : ResultCode::NotFound);
}

void SettingsManager::HandleUnsubscribeAll(Settings&, const IpcMessage&, IpcMessage& response,
                                           const RequestContext&, const std::string& sender_channel) {
  if (sender_channel.empty()) return SetResult(response, ResultCode::InvalidParameters);
  const bool removed = notifier_->UnsubscribeAll(sender_channel);
  SetResult(response, removed ? ResultCode::Success : ResultCode::NotFound);
}

void SettingsManager::HandleSynchronize(Settings& hive, const IpcMessage& request, IpcMessage& response,
                                        const RequestContext& context) {
  bool reset = context.admin;
  if (!reset) {
    const int64_t now = platform::CurrentClock().NowSeconds();
    int64_t last = last_user_backoff_reset_.load();
    reset = (last == std::numeric_limits<int64_t>::min() || now - last >= kUserBackoffResetInterval || now < last) &&
            last_user_backoff_reset_.compare_exchange_strong(last, now);
  }
  if (reset) {
    server_comm_->ResetFailCount();
    HV_LOG_INFO("Server back-off reset on request of client '{}', hive '{}'", request.client(), hive.display_name());
  }
  hive.UpdateNow();
  SetResult(response, ResultCode::Success);
}

void SettingsManager::HandleCheckConnected(Settings& hive, const IpcMessage&, IpcMessage& response,
                                           const RequestContext&) {
  IpcValue::SetBoolean(&response, hive.connected());
  SetResult(response, ResultCode::Success);
}

void SettingsManager::HandleLogout(Settings& hive, const IpcMessage&, IpcMessage& response,
                                   const RequestContext& context) {
  if (!context.write) {
    HV_LOG_REFUSAL(HvQorLogging::kWarning, context.user, "Logout called without write rights");
    return SetResult(response, ResultCode::AccessDenied);
  }
  hive.SetToNotConnected();
  SetResult(response, ResultCode::Success);
}
