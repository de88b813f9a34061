#include "qor/push_api/push_service.h"

#include <vector>

#include "platform/sid.h"
#include "platform/sqlite_registry.h"
#include "platform/utf.h"
#include "qor/push_api/push_connection.h"

namespace qor_push {
namespace {

constexpr char kPushKey[] = "SOFTWARE\\Halvern\\QOR\\Push";
constexpr char kStreamPath[] = "/velder/push/v1/stream";
// How long Register waits for the first connection to be answered.
constexpr int kFirstOutcomeMs = 10000;

}  // namespace

PushService::~PushService() {
  std::map<uint32_t, std::shared_ptr<PushConnection>> registrations;
  {
    platform::MutexLock lock(mutex_);
    registrations.swap(registrations_);
  }
  for (auto& [handle, connection] : registrations) {
    connection->Stop();
    connection->Join();
  }
}

PushService& PushService::Instance() {
  static PushService* service = new PushService();
  return *service;
}

void PushService::SetServer(std::string host, uint16_t port, std::string installation_root) {
  platform::MutexLock lock(mutex_);
  host_ = std::move(host);
  port_ = port;
  installation_root_ = std::move(installation_root);
}

PushService::Endpoint PushService::CurrentEndpoint() {
  Endpoint endpoint;
  std::string host;
  uint16_t port;
  {
    platform::MutexLock lock(mutex_);
    host = host_;
    port = port_;
    endpoint.installation_root = installation_root_;
  }
  SqliteRegistry registry;
  registry.SetRootKey(HKEY_LOCAL_MACHINE);
  if (registry.GetString(kPushKey, "Url", endpoint.url, nullptr) && !endpoint.url.empty()) return endpoint;
  endpoint.url.clear();
  if (host.empty()) return endpoint;
  const bool literal_v6 = host.find(':') != std::string::npos;
  endpoint.url = "https://" + (literal_v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + kStreamPath;
  return endpoint;
}

uint32_t PushService::Register(std::string_view identity, std::string_view user, QorPushApi_Callback callback,
                               void* context, uint32_t* handle) {
  *handle = 0;
  if (!callback || identity.empty() || !platform::IsValidUtf8(identity) || !platform::IsValidSidText(user)) {
    return QOR_PUSH_API_INVALID_ARGUMENT;
  }
  auto connection = std::make_shared<PushConnection>(*this, std::string(user), callback, context);
  uint32_t next = 0;
  {
    platform::MutexLock lock(mutex_);
    if (registrations_.size() >= QOR_PUSH_API_MAX_REGISTRATIONS) return QOR_PUSH_API_TOO_MANY_REGISTRATIONS;
    next = last_handle_;
    do {
      ++next;
    } while (next == 0 || registrations_.count(next) != 0);
    last_handle_ = next;
    registrations_.emplace(next, connection);
  }
  if (!connection->Start()) {
    Unregister(next);
    return QOR_PUSH_API_INTERNAL_ERROR;
  }
  // A server that refuses the user is reported now; one that cannot be
  // reached yet is tried again in the background.
  if (connection->WaitFirstOutcome(kFirstOutcomeMs) == PushConnection::FirstOutcome::kRefused) {
    Unregister(next);
    return QOR_PUSH_API_REFUSED;
  }
  *handle = next;
  return QOR_PUSH_API_OK;
}

uint32_t PushService::Unregister(uint32_t handle) {
  std::shared_ptr<PushConnection> connection;
  {
    platform::MutexLock lock(mutex_);
    const auto it = registrations_.find(handle);
    if (it == registrations_.end()) return QOR_PUSH_API_UNKNOWN_REGISTRATION;
    connection = std::move(it->second);
    registrations_.erase(it);
  }
  // Outside mutex_: the thread asks CurrentEndpoint.
  connection->Stop();
  connection->Join();
  return QOR_PUSH_API_OK;
}

}  // namespace qor_push
