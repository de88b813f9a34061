#include "wire/ipc_message.h"

#include <limits>

#include "platform/utf.h"

namespace {

void PutU32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// UTF-8 text as UTF-16LE bytes; false when the text is not valid UTF-8 (an
// empty result for a non-empty text would silently drop the field).
bool ToWireText(const std::string& text, std::string* bytes) {
  *bytes = platform::Utf8ToUtf16LeBytes(text);
  return !bytes->empty() || text.empty();
}

// The UTF-16LE field at `bytes`: byte length / 2 code units.
std::string FromWireText(const uint8_t* bytes, uint32_t length) {
  const size_t even = length & ~uint32_t{1};
  return platform::Utf16LeBytesToUtf8(std::string_view(reinterpret_cast<const char*>(bytes), even));
}

}  // namespace

std::string_view MessageTypeName(MessageType type) {
  switch (type) {
    case MessageType::AccessCheck: return "AccessCheck";
    case MessageType::GetValue: return "GetValue";
    case MessageType::SetValue: return "SetValue";
    case MessageType::DeleteValue: return "DeleteValue";
    case MessageType::GetMetaData: return "GetMetaData";
    case MessageType::Enumerate: return "Enumerate";
    case MessageType::EnumerateUsers: return "EnumerateUsers";
    case MessageType::Subscribe: return "Subscribe";
    case MessageType::Unsubscribe: return "Unsubscribe";
    case MessageType::UnsubscribeAll: return "UnsubscribeAll";
    case MessageType::Synchronize: return "Synchronize";
    case MessageType::CheckConnected: return "CheckConnected";
    case MessageType::Response: return "Response";
    case MessageType::Notification: return "Notification";
    case MessageType::NotificationConstraints: return "NotificationConstraints";
    case MessageType::SetMetaData:
    case MessageType::Logout:
      break;
  }
  return "Unknown";
}

void IpcMessage::SetValue(ValueKind kind, std::string bytes) { SetValue(static_cast<uint8_t>(kind), std::move(bytes)); }

void IpcMessage::SetValue(uint8_t kind, std::string bytes) {
  value_kind_ = kind;
  value_ = std::move(bytes);
}

void IpcMessage::ClearValue() {
  value_kind_ = static_cast<uint8_t>(ValueKind::None);
  value_.clear();
}

bool IpcMessage::Deserialize(const uint8_t* bytes, size_t count) {
  serialized_.clear();
  ClearValue();
  if (!bytes || count < kHeaderSize || bytes[0] != kFormatVersion) return false;
  uint32_t lengths[5];
  // Summed in 64 bits: five 32-bit lengths must not wrap around to a total
  // that happens to match.
  uint64_t total = kHeaderSize;
  for (int i = 0; i < 5; ++i) {
    lengths[i] = GetU32(bytes + 7 + 4 * i);
    total += lengths[i];
  }
  if (total != count) return false;

  message_type_ = static_cast<MessageType>(bytes[1]);
  value_kind_ = bytes[2];
  result_ = GetU32(bytes + 3);
  const uint8_t* p = bytes + kHeaderSize;
  namespace_ = FromWireText(p, lengths[0]);
  p += lengths[0];
  user_ = FromWireText(p, lengths[1]);
  p += lengths[1];
  client_ = FromWireText(p, lengths[2]);
  p += lengths[2];
  path_.assign(reinterpret_cast<const char*>(p), lengths[3]);
  p += lengths[3];
  value_.assign(reinterpret_cast<const char*>(p), lengths[4]);
  return true;
}

const uint8_t* IpcMessage::Serialize(size_t* count) {
  serialized_.clear();
  *count = 0;
  std::string wide[3];
  if (!ToWireText(namespace_, &wide[0]) || !ToWireText(user_, &wide[1]) || !ToWireText(client_, &wide[2])) {
    return nullptr;
  }
  const std::string* fields[5] = {&wide[0], &wide[1], &wide[2], &path_, &value_};
  size_t total = kHeaderSize;
  for (const std::string* f : fields) {
    if (f->size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    total += f->size();
  }
  serialized_.assign(kHeaderSize, 0);
  serialized_[0] = kFormatVersion;
  serialized_[1] = static_cast<uint8_t>(message_type_);
  serialized_[2] = value_kind_;
  PutU32(serialized_, 3, result_);
  for (int i = 0; i < 5; ++i) PutU32(serialized_, 7 + 4 * i, static_cast<uint32_t>(fields[i]->size()));
  serialized_.reserve(total);
  for (const std::string* f : fields) serialized_.insert(serialized_.end(), f->begin(), f->end());
  *count = serialized_.size();
  return serialized_.data();
}
