#include "wire/value_conversion.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/utf.h"
#include "store/velder_path.h"

namespace IpcValue {
namespace {

using nlohmann::json;

std::string LittleEndian(uint64_t value, int bytes) {
  std::string out(static_cast<size_t>(bytes), '\0');
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

uint64_t ReadLittleEndian(std::string_view bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes.size(); ++i) value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  return value;
}

}  // namespace

bool FromJson(const json& value, IpcMessage* message) {
  switch (value.type()) {
    case json::value_t::null:
      message->ClearValue();
      return true;
    case json::value_t::boolean:
      SetBoolean(message, value.get<bool>());
      return true;
    case json::value_t::number_integer:
      SetInteger(message, value.get<int64_t>());
      return true;
    case json::value_t::number_unsigned:
      // Bit for bit: a client reading an unsigned number gets its two's complement.
      SetInteger(message, static_cast<int64_t>(value.get<uint64_t>()));
      return true;
    case json::value_t::number_float: {
      const double d = value.get<double>();
      // Converting a value outside the range of int64_t is undefined; such a
      // number has no Integer form.
      constexpr double kTwoTo63 = 9223372036854775808.0;
      if (!std::isfinite(d) || d < -kTwoTo63 || d >= kTwoTo63) return false;
      SetInteger(message, static_cast<int64_t>(d));  // truncates toward zero
      return true;
    }
    case json::value_t::string:
      SetString(message, value.get<std::string>());
      return true;
    case json::value_t::object:
    case json::value_t::array:
      try {
        message->SetValue(ValueKind::Json, value.dump());
        return true;
      } catch (const json::exception&) {
        return false;  // a text that is not UTF-8; the caller reports the value as not convertible
      }
    default:
      return false;
  }
}

std::optional<json> ToJson(const IpcMessage& message, std::string* parse_error) {
  if (parse_error) parse_error->clear();
  const std::string& bytes = message.value();
  switch (static_cast<ValueKind>(message.value_kind())) {
    case ValueKind::Boolean:
      return json(bytes.size() == 1 && bytes[0] != 0);
    case ValueKind::Integer:
      return json(bytes.size() == 8 ? static_cast<int64_t>(ReadLittleEndian(bytes)) : int64_t{0});
    case ValueKind::String:
      if (!platform::IsValidUtf8(bytes)) return std::nullopt;
      return json(bytes);
    case ValueKind::Json: {
      if (VelderPath::NestsDeeperThan(bytes, VelderPath::kMaxDepth)) {
        if (parse_error) *parse_error = "document nested deeper than " + std::to_string(VelderPath::kMaxDepth) + " levels";
        return std::nullopt;
      }
      json parsed;
      try {
        parsed = json::parse(bytes);
      } catch (const json::exception& e) {
        if (parse_error) *parse_error = e.what();
        return std::nullopt;
      }
      if (!VelderPath::IsValidValue(parsed)) return std::nullopt;
      return parsed;
    }
    default:
      return std::nullopt;
  }
}

void SetBoolean(IpcMessage* message, bool value) {
  message->SetValue(ValueKind::Boolean, std::string(1, value ? '\1' : '\0'));
}

void SetInteger(IpcMessage* message, int64_t value) {
  message->SetValue(ValueKind::Integer, LittleEndian(static_cast<uint64_t>(value), 8));
}

void SetString(IpcMessage* message, std::string text) { message->SetValue(ValueKind::String, std::move(text)); }

void SetPair(IpcMessage* message, uint32_t first, uint32_t second) {
  message->SetValue(ValueKind::Pair, LittleEndian(first, 4) + LittleEndian(second, 4));
}

bool GetPair(const IpcMessage& message, uint32_t* first, uint32_t* second) {
  const std::string& bytes = message.value();
  if (message.value_kind() != static_cast<uint8_t>(ValueKind::Pair) || bytes.size() != 8) return false;
  *first = static_cast<uint32_t>(ReadLittleEndian(std::string_view(bytes).substr(0, 4)));
  *second = static_cast<uint32_t>(ReadLittleEndian(std::string_view(bytes).substr(4, 4)));
  return true;
}

bool SetList(IpcMessage* message, const std::vector<ListEntry>& entries) {
  if (entries.size() > std::numeric_limits<uint32_t>::max()) return false;
  std::string bytes = LittleEndian(entries.size(), 4);
  for (const ListEntry& e : entries) {
    if (e.name.find(',') != std::string::npos) return false;
    bytes.push_back(static_cast<char>(e.type_code));
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) bytes.push_back(',');
    bytes += entries[i].name;
  }
  message->SetValue(ValueKind::List, std::move(bytes));
  return true;
}

bool ParseList(std::string_view bytes, std::vector<ListEntry>* entries) {
  entries->clear();
  if (bytes.size() < 4) return false;
  const uint64_t count = ReadLittleEndian(bytes.substr(0, 4));
  if (count > bytes.size() - 4) return false;
  std::string_view names = bytes.substr(4 + count);
  if (count == 0) return names.empty();
  std::vector<ListEntry> out;
  out.reserve(count);
  for (uint64_t i = 0; i < count; ++i) {
    const size_t comma = names.find(',');
    const bool last = i + 1 == count;
    if (last != (comma == std::string_view::npos)) return false;  // too many or too few names
    out.push_back(ListEntry{std::string(names.substr(0, comma)), static_cast<uint8_t>(bytes[4 + i])});
    if (!last) names.remove_prefix(comma + 1);
  }
  *entries = std::move(out);
  return true;
}

}  // namespace IpcValue
