#include "push_service.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "platform/sid.h"
#include "platform/utf.h"

namespace qor_push {

PushService::~PushService() {
  std::optional<std::jthread> thread;
  {
    std::lock_guard lock(mutex_);
    thread.swap(thread_);
  }
  // The jthread's destructor asks the loop to stop (which wakes work_cv_) and joins.
}

PushService& PushService::Instance() {
  static PushService* service = new PushService();
  return *service;
}

bool PushService::Start() {
  std::lock_guard lock(mutex_);
  if (thread_) return true;
  try {
    thread_.emplace([this](std::stop_token stop) { DeliveryLoop(stop); });
    delivery_thread_id_ = thread_->get_id();
    return true;
  } catch (const std::system_error&) {
    thread_.reset();
    return false;
  }
}

std::string PushService::PnsIdFor(std::string_view identity, std::string_view user) {
  // FNV-1a over identity, a NUL and the upper-cased SID: the same on every
  // build and platform, unlike std::hash.
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](unsigned char c) {
    hash ^= c;
    hash *= 1099511628211ull;
  };
  for (unsigned char c : identity) mix(c);
  mix(0);
  for (unsigned char c : user) mix(static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
  char text[32];
  std::snprintf(text, sizeof text, "hvpns-%016llx", static_cast<unsigned long long>(hash));
  return text;
}

uint32_t PushService::Register(std::string_view identity, std::string_view user, QorPushApi_Callback callback,
                               void* context, uint32_t* handle) {
  *handle = 0;
  if (!callback || identity.empty() || !platform::IsValidUtf8(identity) || !platform::IsValidSidText(user)) {
    return QOR_PUSH_API_INVALID_ARGUMENT;
  }
  if (!Start()) return QOR_PUSH_API_INTERNAL_ERROR;
  std::string pns_id = PnsIdFor(identity, user);
  {
    std::lock_guard lock(mutex_);
    if (registrations_.size() >= QOR_PUSH_API_MAX_REGISTRATIONS) return QOR_PUSH_API_TOO_MANY_REGISTRATIONS;
    uint32_t next = last_handle_;
    do {
      ++next;
    } while (next == 0 || registrations_.count(next) != 0);
    last_handle_ = next;
    registrations_.emplace(next, Registration{callback, context, std::move(pns_id)});
    pending_.push_back(next);
    *handle = next;
  }
  work_cv_.notify_one();
  return QOR_PUSH_API_OK;
}

uint32_t PushService::Unregister(uint32_t handle) {
  std::unique_lock lock(mutex_);
  if (registrations_.erase(handle) == 0) return QOR_PUSH_API_UNKNOWN_REGISTRATION;
  std::erase(pending_, handle);
  if (std::this_thread::get_id() != delivery_thread_id_) {
    idle_cv_.wait(lock, [&]() REQUIRES(mutex_) { return in_callback_ != handle; });
  }
  return QOR_PUSH_API_OK;
}

void PushService::DeliveryLoop(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (true) {
    work_cv_.wait(lock, stop, [&]() REQUIRES(mutex_) { return !pending_.empty(); });
    if (stop.stop_requested()) return;
    const uint32_t handle = pending_.front();
    pending_.pop_front();
    auto it = registrations_.find(handle);
    if (it == registrations_.end()) continue;
    const Registration registration = it->second;
    in_callback_ = handle;
    lock.unlock();
    try {
      registration.callback(QOR_PUSH_API_KIND_PNS_ID, registration.pns_id.c_str(), registration.context);
    } catch (...) {
      // A callback must not throw through C code; one that does loses only its own event.
    }
    lock.lock();
    in_callback_ = 0;
    idle_cv_.notify_all();
  }
}

}  // namespace qor_push
