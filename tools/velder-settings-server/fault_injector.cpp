#include "fault_injector.h"

#include <algorithm>
#include <array>
#include <strings.h>
#include <utility>

namespace settings_server {
namespace {

using json = nlohmann::json;

constexpr std::array<std::pair<FaultKind, const char*>, 7> kKinds = {{
    {FaultKind::kStatus, "status"},
    {FaultKind::kDelay, "delay"},
    {FaultKind::kDrop, "drop"},
    {FaultKind::kTruncate, "truncate"},
    {FaultKind::kNotJson, "not-json"},
    {FaultKind::kNoEtag, "no-etag"},
    {FaultKind::kOversize, "oversize"},
}};

constexpr std::array<std::pair<FaultScope, const char*>, 7> kScopes = {{
    {FaultScope::kSettings, "settings"},
    {FaultScope::kGet, "get"},
    {FaultScope::kPatch, "patch"},
    {FaultScope::kNode, "node"},
    {FaultScope::kToken, "token"},
    {FaultScope::kPush, "push"},
    {FaultScope::kAll, "all"},
}};

template <typename Table, typename Value>
const char* NameOf(const Table& table, Value value) {
  for (const auto& [v, name] : table)
    if (v == value) return name;
  return "";
}

template <typename Table>
auto ValueOf(const Table& table, const std::string& name) -> std::optional<decltype(table[0].first)> {
  for (const auto& [v, n] : table)
    if (name == n) return v;
  return std::nullopt;
}

bool Applies(FaultScope scope, RequestKind kind) {
  switch (scope) {
    case FaultScope::kAll: return true;
    case FaultScope::kSettings: return kind == RequestKind::kGetSettings || kind == RequestKind::kPatchSettings;
    case FaultScope::kGet: return kind == RequestKind::kGetSettings;
    case FaultScope::kPatch: return kind == RequestKind::kPatchSettings;
    case FaultScope::kNode: return kind == RequestKind::kNode;
    case FaultScope::kToken: return kind == RequestKind::kToken;
    case FaultScope::kPush: return kind == RequestKind::kPush;
  }
  return false;
}

// A non-negative integer member, or `fallback` when it is missing.
bool ReadCount(const json& d, const char* name, int64_t max, int64_t fallback, int64_t& out, std::string& error) {
  auto it = d.find(name);
  if (it == d.end()) {
    out = fallback;
    return true;
  }
  if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > max) {
    error = std::string("\"") + name + "\" must be an integer from 0 to " + std::to_string(max);
    return false;
  }
  out = it->get<int64_t>();
  return true;
}

}  // namespace

bool FaultInjector::IsInjectableStatus(int status) {
  for (int s : {401, 403, 404, 412, 429, 500, 503})
    if (s == status) return true;
  return false;
}

std::optional<Fault> FaultInjector::FromJson(const json& d, int64_t nowMs, std::string& error) {
  if (!d.is_object()) {
    error = "a fault is a JSON object";
    return std::nullopt;
  }
  Fault fault;
  auto kind = d.find("kind");
  auto parsedKind = kind != d.end() && kind->is_string() ? ValueOf(kKinds, kind->get<std::string>()) : std::nullopt;
  if (!parsedKind) {
    error = "\"kind\" must be one of status, delay, drop, truncate, not-json, no-etag, oversize";
    return std::nullopt;
  }
  fault.kind = *parsedKind;
  if (auto on = d.find("on"); on != d.end()) {
    auto scope = on->is_string() ? ValueOf(kScopes, on->get<std::string>()) : std::nullopt;
    if (!scope) {
      error = "\"on\" must be one of settings, get, patch, node, token, push, all";
      return std::nullopt;
    }
    fault.scope = *scope;
  }
  if (auto sid = d.find("sid"); sid != d.end()) {
    const bool valid = sid->is_string() && !sid->get_ref<const std::string&>().empty() &&
                       sid->get_ref<const std::string&>().size() <= 256;
    if (!valid) {
      error = "\"sid\" must be a SID text";
      return std::nullopt;
    }
    fault.sid = sid->get<std::string>();
  }
  int64_t status = 0, count = 0, seconds = 0;
  if (!ReadCount(d, "status", 999, 0, status, error) || !ReadCount(d, "delay_ms", 600000, 0, fault.delayMs, error) ||
      !ReadCount(d, "count", 1000000, 0, count, error) || !ReadCount(d, "seconds", 86400, 0, seconds, error))
    return std::nullopt;
  fault.status = static_cast<int>(status);
  if (fault.kind == FaultKind::kStatus && !IsInjectableStatus(fault.status)) {
    error = "\"status\" must be one of 401, 403, 404, 412, 429, 500, 503";
    return std::nullopt;
  }
  if (fault.kind == FaultKind::kDelay && fault.delayMs == 0) {
    error = "a delay needs \"delay_ms\"";
    return std::nullopt;
  }
  if (count == 0 && seconds == 0) count = 1;
  fault.remaining = count > 0 ? count : -1;
  fault.untilMs = seconds > 0 ? nowMs + seconds * 1000 : 0;
  return fault;
}

json FaultInjector::ToJson(const Fault& fault, int64_t nowMs) {
  json j = {{"id", fault.id}, {"kind", NameOf(kKinds, fault.kind)}, {"on", NameOf(kScopes, fault.scope)}};
  if (fault.kind == FaultKind::kStatus) j["status"] = fault.status;
  if (fault.kind == FaultKind::kDelay) j["delay_ms"] = fault.delayMs;
  if (fault.remaining >= 0) j["remaining"] = fault.remaining;
  if (!fault.sid.empty()) j["sid"] = fault.sid;
  if (fault.untilMs > 0) j["seconds_left"] = std::max<int64_t>(0, (fault.untilMs - nowMs + 999) / 1000);
  return j;
}

uint64_t FaultInjector::Add(Fault fault) {
  platform::MutexLock lock(mutex_);
  fault.id = nextId_++;
  faults_.push_back(fault);
  return fault.id;
}

void FaultInjector::Clear() {
  platform::MutexLock lock(mutex_);
  faults_.clear();
}

std::vector<Fault> FaultInjector::List(int64_t nowMs) {
  platform::MutexLock lock(mutex_);
  DropExpiredLocked(nowMs);
  return faults_;
}

std::optional<Fault> FaultInjector::Take(RequestKind kind, const std::string& sid, int64_t nowMs) {
  platform::MutexLock lock(mutex_);
  DropExpiredLocked(nowMs);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!Applies(it->scope, kind) || (!it->sid.empty() && strcasecmp(it->sid.c_str(), sid.c_str()) != 0)) continue;
    Fault taken = *it;
    if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

void FaultInjector::DropExpiredLocked(int64_t nowMs) {
  std::erase_if(faults_, [&](const Fault& f) { return f.untilMs > 0 && nowMs >= f.untilMs; });
}

}  // namespace settings_server
