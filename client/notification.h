// A change that the service reports to a subscribed client, as the client
// library hands it to the program's handler.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace velder {

// Constraint bits of a setting path.
inline constexpr uint32_t kConstraintReadOnly = 1;   // the schema makes the path read-only
inline constexpr uint32_t kConstraintAdminOnly = 2;  // only administrators may write at or below the path

struct Notification {
  enum class Kind : uint8_t {
    Value,         // `path` has the new effective value `value`
    Removed,       // `path` no longer has a value
    Constraints,   // `path` has the new constraint bits `constraints`
    Disconnected,  // the service closed the connection; the last notification of a client
    Malformed,     // the service sent something unreadable; `error` says what
  };

  Kind kind = Kind::Value;
  // The setting path in its dotted form. The service does not say whose hive
  // changed: a client that watches several users cannot tell them apart.
  std::string path;
  nlohmann::json value;      // Value only
  uint32_t constraints = 0;  // Constraints only
  std::string error;         // Malformed only
};

// Called on the client's notification thread, one notification at a time, in
// the order the service sent them. It must not make requests on the same
// client (they fail with WrongThread); it may destroy the client.
using NotificationHandler = std::function<void(const Notification&)>;

// Reads one notification frame of the channel: `kind` is the frame's message
// kind (0 when the connection ended), `bytes` its envelope. Exposed for tests.
Notification DecodeNotification(uint32_t kind, std::string_view bytes);

// "value", "removed", "constraints", "disconnected", "malformed".
std::string_view NotificationKindName(Notification::Kind kind);

}  // namespace velder
