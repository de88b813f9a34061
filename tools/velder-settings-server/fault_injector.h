// Faults that the administrator arms on purpose, so that clients can be tested
// against a server that misbehaves: for the next N matching requests, or for a
// time span, answer with a given status, wait first, drop the connection, send
// a truncated body, a body that is not JSON, no ETag, or a body over 5 MiB.
//
// Thread-safe. Faults are kept in memory only: a restart clears them.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/mutex.h"

namespace settings_server {

enum class FaultKind { kStatus, kDelay, kDrop, kTruncate, kNotJson, kNoEtag, kOversize };

// The client requests a fault may hit.
enum class RequestKind { kGetSettings, kPatchSettings, kNode, kToken, kPush };

// Which requests a fault applies to.
enum class FaultScope { kSettings, kGet, kPatch, kNode, kToken, kPush, kAll };

struct Fault {
  uint64_t id = 0;
  FaultKind kind = FaultKind::kStatus;
  int status = 0;          // kStatus: 401, 403, 404, 412, 429, 500 or 503
  int64_t delayMs = 0;     // kDelay
  FaultScope scope = FaultScope::kSettings;
  int64_t remaining = -1;  // requests left; -1: no count (time span only)
  int64_t untilMs = 0;     // end of the time span (steady clock, ms); 0: none
  // Only requests of the client with this SID (any machine); empty: every
  // client. Lets a test aim at one hive while others poll the same server.
  std::string sid;
};

class FaultInjector {
 public:
  // The statuses a kStatus fault may give.
  static bool IsInjectableStatus(int status);

  // Reads {"kind":..., "status":..., "delay_ms":..., "count":..., "seconds":..., "on":..., "sid":...};
  // without "count" and "seconds" the fault hits one request. nullopt with
  // `error` set when the description is invalid.
  static std::optional<Fault> FromJson(const nlohmann::json& description, int64_t nowMs, std::string& error);
  static nlohmann::json ToJson(const Fault& fault, int64_t nowMs);

  uint64_t Add(Fault fault);
  void Clear();
  std::vector<Fault> List(int64_t nowMs);
  // The first armed fault that applies to a request of `kind` from the
  // client with `sid` (empty when the request names none), counted as used;
  // nullopt when none.
  std::optional<Fault> Take(RequestKind kind, const std::string& sid, int64_t nowMs);

 private:
  void DropExpiredLocked(int64_t nowMs) REQUIRES(mutex_);

  platform::Mutex mutex_;  // guards faults_ and nextId_
  std::vector<Fault> faults_ GUARDED_BY(mutex_);
  uint64_t nextId_ GUARDED_BY(mutex_) = 1;
};

}  // namespace settings_server
