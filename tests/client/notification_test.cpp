// How notification frames become Notifications, bytes as the service writes
// them (the common ones are pinned by watch, integration/velderctl_test).
#include "client/notification.h"

#include <gtest/gtest.h>

#include "scripted_service.h"

namespace {

using client_test::Int64Bytes;
using nlohmann::json;
using velder::Notification;
using Kind = velder::Notification::Kind;

std::string Envelope(MessageType type, const std::string& path, uint8_t kind, const std::string& value) {
  IpcMessage m;
  m.set_message_type(type);
  m.set_path(path);
  m.SetValue(kind, value);
  size_t n = 0;
  const uint8_t* bytes = m.Serialize(&n);
  return std::string(reinterpret_cast<const char*>(bytes), n);
}

TEST(NotificationTest, DecodesWhatTheServiceSends) {
  constexpr MessageType kValue = MessageType::Notification;
  constexpr MessageType kBits = MessageType::NotificationConstraints;
  const struct {
    const char* name;
    uint32_t frame_kind;
    std::string bytes;
    Kind kind;
    std::string path;
    json value;
    uint32_t constraints;
  } cases[] = {
      {"largest bits", 1, Envelope(kBits, "a", 2, Int64Bytes(0xffffffff)), Kind::Constraints, "a", nullptr, 0xffffffff},
      {"bits past 32", 1, Envelope(kBits, "a", 2, Int64Bytes(0x100000000)), Kind::Malformed, "", nullptr, 0},
      {"bits as text", 1, Envelope(kBits, "a", 3, "2"), Kind::Malformed, "", nullptr, 0},
      {"unreadable value", 1, Envelope(kValue, "a", 4, "{"), Kind::Malformed, "", nullptr, 0},
      {"a response", 1, Envelope(MessageType::Response, "a", 0, ""), Kind::Malformed, "", nullptr, 0},
      {"not an envelope", 1, "hello", Kind::Malformed, "", nullptr, 0},
      {"kind 0 with bytes", 0, "x", Kind::Malformed, "", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Notification n = velder::DecodeNotification(c.frame_kind, c.bytes);
    EXPECT_EQ(n.kind, c.kind) << n.error;
    EXPECT_EQ(n.path, c.path);
    EXPECT_EQ(n.value, c.value);
    EXPECT_EQ(n.constraints, c.constraints);
    EXPECT_EQ(n.error.empty(), c.kind != Kind::Malformed);
  }
}

}  // namespace
