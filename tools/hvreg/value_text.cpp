#include "hvreg/value_text.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <charconv>

#include "platform/registry.h"
#include "platform/registry_key_path.h"
#include "platform/registry_value_format.h"

namespace hvreg {
namespace {

struct TypeSpelling {
  std::string_view name;
  uint32_t type;
};

constexpr TypeSpelling kTypes[] = {
    {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

bool ParseHexDigits(std::string_view text, std::vector<uint8_t>& data) {
  if (text.size() % 2 != 0) return false;
  data.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t byte = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != text.data() + i + 2) return false;
    data.push_back(byte);
  }
  return true;
}

std::string HexDigits(const std::vector<uint8_t>& data) {
  std::string out;
  for (uint8_t b : data) out += fmt::format("{:02X}", b);
  return out;
}

}  // namespace

std::string TypeName(uint32_t type) {
  for (const TypeSpelling& t : kTypes) {
    if (t.type == type) return std::string(t.name);
  }
  return fmt::format("0x{:x}", type);
}

std::optional<uint32_t> ParseTypeName(std::string_view name) {
  for (const TypeSpelling& t : kTypes) {
    if (platform::EqualsIgnoreCase(name, t.name)) return t.type;
  }
  return std::nullopt;
}

bool ParseValueData(uint32_t type, std::string_view text, std::string_view separator, std::vector<uint8_t>& data,
                    std::string& error) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (platform::EncodeRegistryString(text, data)) return true;
      error = "the data is not valid UTF-8 text";
      return false;
    case REG_DWORD: {
      uint32_t number = 0;
      if (text.empty() || ParseNumber(text, number)) {
        data = platform::EncodeRegistryDword(number);
        return true;
      }
      error = fmt::format("'{}' is not a 32-bit number (decimal, or hex after 0x)", text);
      return false;
    }
    case REG_QWORD: {
      uint64_t number = 0;
      if (text.empty() || ParseNumber(text, number)) {
        data = platform::EncodeRegistryQword(number);
        return true;
      }
      error = fmt::format("'{}' is not a 64-bit number (decimal, or hex after 0x)", text);
      return false;
    }
    case REG_MULTI_SZ: {
      std::vector<std::string> elements;
      if (separator.empty()) {
        error = "the separator must not be empty";
        return false;
      }
      for (size_t start = 0; !text.empty();) {
        const size_t end = text.find(separator, start);
        elements.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) break;
        start = end + separator.size();
      }
      if (platform::EncodeRegistryMultiString(elements, data)) return true;
      error = "a multi-string cannot hold an empty element or text that is not UTF-8";
      return false;
    }
    default:
      if (ParseHexDigits(text, data)) return true;
      error = fmt::format("'{}' is not a run of hex digits, two per byte", text);
      return false;
  }
}

std::string DisplayValueData(uint32_t type, const std::vector<uint8_t>& data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::string text;
      if (platform::DecodeRegistryString(data, text)) return text;
      break;
    }
    case REG_DWORD: {
      uint32_t number = 0;
      if (platform::DecodeRegistryDword(data, number)) return fmt::format("0x{:x}", number);
      break;
    }
    case REG_QWORD: {
      uint64_t number = 0;
      if (platform::DecodeRegistryQword(data, number)) return fmt::format("0x{:x}", number);
      break;
    }
    case REG_MULTI_SZ: {
      std::vector<std::string> elements;
      if (platform::DecodeRegistryMultiString(data, elements)) return fmt::format("{}", fmt::join(elements, "\\0"));
      break;
    }
    default:
      break;
  }
  return HexDigits(data);
}

}  // namespace hvreg
