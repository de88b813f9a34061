#include "client/value_codec.h"

#include <fmt/format.h>

#include <cstdint>
#include <limits>
#include <string_view>

#include "platform/utf.h"

namespace velder::ValueCodec {
namespace {

using nlohmann::json;

Status Bad(std::string detail) { return Status::FromError(ClientError::BadResponse, std::move(detail)); }

Status JsonText(const json& value, IpcMessage* message) {
  try {
    message->SetValue(ValueKind::Json, value.dump());
  } catch (const json::exception& e) {
    return Status::FromError(ClientError::InvalidArgument, fmt::format("the value cannot be written: {}", e.what()));
  }
  return {};
}

}  // namespace


Status EncodeRequestValue(const json& value, IpcMessage* message) {
  if (value.is_null()) {
    return Status::FromError(ClientError::InvalidArgument, "null cannot be stored; delete the setting instead");
  }
  if (!VelderPath::IsValidValue(value)) {
    return Status::FromError(ClientError::InvalidArgument,
                             "the value cannot be stored: it holds a null, a non-finite number, a member name that "
                             "is not a key, an array of more than 99999 elements or is nested too deep");
  }
  switch (value.type()) {
    case json::value_t::boolean:
      IpcValue::SetBoolean(message, value.get<bool>());
      return {};
    case json::value_t::number_integer:
      IpcValue::SetInteger(message, value.get<int64_t>());
      return {};
    case json::value_t::number_unsigned: {
      const uint64_t u = value.get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        IpcValue::SetInteger(message, static_cast<int64_t>(u));
        return {};
      }
      // The Integer kind would turn it negative; as text it stays what it is.
      return JsonText(value, message);
    }
    case json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      if (!platform::IsValidUtf8(text)) {
        return Status::FromError(ClientError::InvalidArgument, "the text is not valid UTF-8");
      }
      IpcValue::SetString(message, text);
      return {};
    }
    default:
      // Objects, arrays and floating-point numbers: the Integer kind would
      // truncate a fraction, so these travel as JSON text.
      return JsonText(value, message);
  }
}

Status DecodeValue(const IpcMessage& message, json* value) {
  const std::string& bytes = message.value();
  switch (static_cast<ValueKind>(message.value_kind())) {
    case ValueKind::None:
      if (!bytes.empty()) return Bad(fmt::format("an empty value with {} bytes", bytes.size()));
      *value = nullptr;
      return {};
    case ValueKind::Boolean:
      if (bytes.size() != 1 || (bytes[0] != 0 && bytes[0] != 1)) return Bad("a boolean that is not one byte 0 or 1");
      *value = bytes[0] == 1;
      return {};
    case ValueKind::Integer: {
      if (bytes.size() != 8) return Bad(fmt::format("an integer of {} bytes", bytes.size()));
      uint64_t u = 0;
      for (int i = 7; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>(bytes[i]);
      *value = static_cast<int64_t>(u);
      return {};
    }
    case ValueKind::String:
      if (!platform::IsValidUtf8(bytes)) return Bad("a text that is not valid UTF-8");
      *value = bytes;
      return {};
    case ValueKind::Json:
      if (VelderPath::NestsDeeperThan(bytes, kMaxAnswerDepth)) return Bad("a JSON value nested too deep");
      try {
        *value = json::parse(bytes);
      } catch (const json::exception& e) {
        return Bad(fmt::format("a JSON value that does not parse: {}", e.what()));
      }
      return {};
    default:
      return Bad(fmt::format("value kind {} where a setting value was expected", message.value_kind()));
  }
}

Status DecodePair(const IpcMessage& message, uint32_t* first, uint32_t* second) {
  if (!IpcValue::GetPair(message, first, second)) {
    return Bad(fmt::format("value kind {} of {} bytes where a pair was expected", message.value_kind(),
                           message.value().size()));
  }
  return {};
}

Status DecodeList(const IpcMessage& message, std::vector<IpcValue::ListEntry>* entries) {
  if (message.value_kind() != static_cast<uint8_t>(ValueKind::List)) {
    return Bad(fmt::format("value kind {} where a list was expected", message.value_kind()));
  }
  if (!IpcValue::ParseList(message.value(), entries)) return Bad("a malformed list");
  for (const auto& e : *entries) {
    if (!platform::IsValidUtf8(e.name)) {
      entries->clear();
      return Bad("a list entry that is not valid UTF-8");
    }
  }
  return {};
}

}  // namespace velder::ValueCodec
