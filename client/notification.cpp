#include "client/notification.h"

#include <fmt/format.h>

#include "client/value_codec.h"
#include "qor/ipc/hv_qor_ipc.h"

namespace velder {
namespace {

Notification Malformed(std::string error) {
  Notification n;
  n.kind = Notification::Kind::Malformed;
  n.error = std::move(error);
  return n;
}

}  // namespace

Notification DecodeNotification(uint32_t kind, std::string_view bytes) {
  if (kind == HV_IPC_KIND_DISCONNECTED && bytes.empty()) {
    Notification n;
    n.kind = Notification::Kind::Disconnected;
    return n;
  }
  if (kind != HV_IPC_KIND_ENVELOPE) return Malformed(fmt::format("message kind {}", kind));
  IpcMessage message;
  if (!message.Deserialize(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) {
    return Malformed(fmt::format("{} bytes that are not an envelope", bytes.size()));
  }
  Notification n;
  n.path = message.path();
  switch (message.message_type()) {
    case MessageType::Notification: {
      const Status s = ValueCodec::DecodeValue(message, &n.value);
      if (!s.ok()) return Malformed(fmt::format("value of '{}': {}", n.path, s.detail()));
      n.kind = n.value.is_null() ? Notification::Kind::Removed : Notification::Kind::Value;
      return n;
    }
    case MessageType::NotificationConstraints: {
      // The bits travel zero-extended as a 64-bit integer.
      nlohmann::json bits;
      const Status s = ValueCodec::DecodeValue(message, &bits);
      if (!s.ok() || !bits.is_number_integer() || bits.get<int64_t>() < 0 ||
          bits.get<int64_t>() > static_cast<int64_t>(UINT32_MAX)) {
        return Malformed(fmt::format("constraints of '{}' that are not a 32-bit number", n.path));
      }
      n.kind = Notification::Kind::Constraints;
      n.constraints = static_cast<uint32_t>(bits.get<int64_t>());
      return n;
    }
    default:
      return Malformed(fmt::format("message type {} in a notification", static_cast<int>(message.message_type())));
  }
}

std::string_view NotificationKindName(Notification::Kind kind) {
  switch (kind) {
    case Notification::Kind::Value: return "value";
    case Notification::Kind::Removed: return "removed";
    case Notification::Kind::Constraints: return "constraints";
    case Notification::Kind::Disconnected: return "disconnected";
    case Notification::Kind::Malformed: return "malformed";
  }
  return "unknown";
}

}  // namespace velder
