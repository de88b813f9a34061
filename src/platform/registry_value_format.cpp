#include "platform/registry_value_format.h"

#include "platform/utf.h"

namespace platform {
namespace {

constexpr std::u16string_view kNul(u"\0", 1);

void AppendUnits(std::u16string_view units, RegistryBytes& bytes) {
  for (char16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
}

std::u16string UnitsOf(const RegistryBytes& bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return units;
}

// Utf8ToUtf16 answers empty for invalid text, so empty input is checked apart.
bool ToUnits(std::string_view text, std::u16string& units) {
  if (text.empty()) {
    units.clear();
    return true;
  }
  units = Utf8ToUtf16(text);
  return !units.empty();
}

bool FromUnits(std::u16string_view units, std::string& text) {
  if (units.empty()) {
    text.clear();
    return true;
  }
  text = Utf16ToUtf8(units);
  return !text.empty();
}

template <typename T>
RegistryBytes EncodeLittleEndian(T value) {
  RegistryBytes bytes(sizeof(T));
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

template <typename T>
bool DecodeLittleEndian(const RegistryBytes& bytes, T& value) {
  if (bytes.size() != sizeof(T)) return false;
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(bytes[i]) << (8 * i);
  value = v;
  return true;
}

}  // namespace

bool EncodeRegistryString(std::string_view text, RegistryBytes& bytes) {
  std::u16string units;
  if (!ToUnits(text, units)) return false;
  bytes.clear();
  bytes.reserve(units.size() * 2 + 2);
  AppendUnits(units, bytes);
  AppendUnits(kNul, bytes);
  return true;
}

bool DecodeRegistryString(const RegistryBytes& bytes, std::string& text) {
  std::u16string units = UnitsOf(bytes);
  if (!units.empty() && units.back() == u'\0') units.pop_back();
  return FromUnits(units, text);
}

bool EncodeRegistryMultiString(const std::vector<std::string>& values, RegistryBytes& bytes) {
  RegistryBytes packed;
  for (const std::string& value : values) {
    std::u16string units;
    if (value.empty() || value.find('\0') != std::string::npos || !ToUnits(value, units)) return false;
    AppendUnits(units, packed);
    AppendUnits(kNul, packed);
  }
  if (values.empty()) AppendUnits(kNul, packed);
  AppendUnits(kNul, packed);
  bytes = std::move(packed);
  return true;
}

bool DecodeRegistryMultiString(const RegistryBytes& bytes, std::vector<std::string>& values) {
  const std::u16string units = UnitsOf(bytes);
  std::vector<std::string> parsed;
  size_t start = 0;
  while (start < units.size()) {
    const size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos || end == start) break;
    std::string text;
    if (!FromUnits(std::u16string_view(units).substr(start, end - start), text)) return false;
    parsed.push_back(std::move(text));
    start = end + 1;
  }
  values = std::move(parsed);
  return true;
}

RegistryBytes EncodeRegistryDword(uint32_t value) { return EncodeLittleEndian(value); }
RegistryBytes EncodeRegistryQword(uint64_t value) { return EncodeLittleEndian(value); }
bool DecodeRegistryDword(const RegistryBytes& bytes, uint32_t& value) { return DecodeLittleEndian(bytes, value); }
bool DecodeRegistryQword(const RegistryBytes& bytes, uint64_t& value) { return DecodeLittleEndian(bytes, value); }

}  // namespace platform
